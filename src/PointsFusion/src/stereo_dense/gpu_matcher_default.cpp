// No GPU matcher in this build: the stage never chooses the GPU engine
// (no kernel architectures), and a direct call fails.

#include "stereo_dense/sgm_gpu.h"

GpuMatcher defaultGpuMatcher() { return GpuMatcher(); }
