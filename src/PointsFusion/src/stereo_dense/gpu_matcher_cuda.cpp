// The GPU matcher of this build and the compute capabilities its kernels
// were built for.

#include "stereo_dense/gpu_devices.h"
#include "stereo_dense/sgm_gpu.h"

#include "sgm/gpu_disparity.h"

GpuMatcher defaultGpuMatcher() { return &computeGpuDisparity; }

std::vector<int> builtKernelArchs() { return sgm::builtComputeCapabilities(); }
