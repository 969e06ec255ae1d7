#pragma once
// Entry of the dense depth stage into the GPU matcher.

#include <vector>

#include <opencv2/core/mat.hpp>

// Disparity of an 8-bit single-channel continuous pair of equal size: a fresh
// matcher with P1 10, P2 120, uniqueness 0.95, sub-pixel output, left-right
// check 1, symmetric census, 4 paths when pathCount is 4 and 8 otherwise.
// Returns CV_16S with 4 fractional bits; rejected pixels hold
// (minDisparity - 1) x 16. Throws std::logic_error for arguments the matcher
// refuses, std::invalid_argument for images that are not such a pair, and
// std::runtime_error when the GPU runtime fails or the build has no CUDA.
cv::Mat computeGpuDisparity(const cv::Mat& left, const cv::Mat& right, int disparitySize,
                            int minDisparity, int pathCount);

namespace sgm {

// Compute capabilities (major x 10 + minor) that the build holds device code
// for, ascending; the lowest one is also held as PTX, which newer devices
// compile at load. Empty when the build has no CUDA.
std::vector<int> builtComputeCapabilities();

}  // namespace sgm
