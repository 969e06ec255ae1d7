// No GPU matcher in this build: the stage never chooses the GPU engine
// (no kernel architectures), and a direct call fails.

#include "stereo_dense/gpu_devices.h"
#include "stereo_dense/sgm_gpu.h"

#include <sstream>
#include <string>

GpuMatcher defaultGpuMatcher() { return GpuMatcher(); }

#define ZEL_STRINGIFY_(...) #__VA_ARGS__
#define ZEL_STRINGIFY(...) ZEL_STRINGIFY_(__VA_ARGS__)

std::vector<int> builtKernelArchs() {
    std::vector<int> archs;
#ifdef ZEL_CUDA_ARCHS
    // A list such as 75;90 or 75,90.
    std::string text = ZEL_STRINGIFY(ZEL_CUDA_ARCHS);
    for (char& c : text)
        if (c == ';' || c == ',') c = ' ';
    std::istringstream in(text);
    int arch = 0;
    while (in >> arch) archs.push_back(arch);
#endif
    return archs;
}
