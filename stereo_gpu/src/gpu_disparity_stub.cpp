// The GPU entry of a build without CUDA: it holds no device code.
#include "sgm/gpu_disparity.h"

#include <stdexcept>

cv::Mat computeGpuDisparity(const cv::Mat&, const cv::Mat&, int, int, int) {
    throw std::runtime_error("this build holds no CUDA code");
}

namespace sgm {

std::vector<int> builtComputeCapabilities() { return {}; }

}  // namespace sgm
