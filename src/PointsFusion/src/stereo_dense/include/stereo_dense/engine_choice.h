#pragma once
// The dense stage's one-time choice of its disparity engine.

#include "stereo_dense/disparity_calculator.h"
#include "stereo_dense/gpu_devices.h"
#include "stereo_dense/sgm_gpu.h"

#include <memory>
#include <vector>

// Method 3 tries the GPU: SGM_GPU on the usable device with at least 512 MiB
// free; otherwise SGM_CPU with an INFO line, and "pointsfusion.dense_method"
// becomes "2" in the process-wide store. Any other method: SGM_CPU, without
// asking devices anything. An empty matcher counts as no usable device.
std::shared_ptr<DisparityCalculator> chooseDisparityEngine(int method, const std::shared_ptr<GpuDevices>& devices,
                                                           const std::vector<int>& kernelArchs,
                                                           const GpuMatcher& matcher);
