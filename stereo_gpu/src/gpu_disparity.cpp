#include "sgm/gpu_disparity.h"

#include <stdexcept>

#include <opencv2/core.hpp>

#include "sgm/semi_global_matcher.h"

cv::Mat computeGpuDisparity(const cv::Mat& left, const cv::Mat& right, int disparitySize, int minDisparity,
                            int pathCount) {
    if (left.type() != CV_8UC1 || right.type() != CV_8UC1 || left.size() != right.size() || left.empty() ||
        !left.isContinuous() || !right.isContinuous())
        throw std::invalid_argument("computeGpuDisparity needs two continuous 8-bit single-channel images of equal size");
    sgm::SemiGlobalMatcher::Parameters param;
    param.P1 = 10;
    param.P2 = 120;
    param.uniqueness = 0.95f;
    param.subpixel = true;
    param.pathType = pathCount == 4 ? sgm::PathType::FourPaths : sgm::PathType::EightPaths;
    param.minDisparity = minDisparity;
    param.lrMaxDiff = 1;
    param.censusType = sgm::CensusType::SymmetricCensus;
    sgm::SemiGlobalMatcher matcher(left.cols, left.rows, disparitySize, 8, 16, sgm::EXECUTE_INOUT_HOST2HOST, param);
    cv::Mat output(left.size(), CV_16SC1);
    matcher.execute(left.data, right.data, output.data);
    return output;
}

namespace sgm {

std::vector<int> builtComputeCapabilities() { return {SGM_BUILT_CAPABILITIES}; }

}  // namespace sgm
