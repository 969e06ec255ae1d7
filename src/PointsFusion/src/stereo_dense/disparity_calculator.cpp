#include "stereo_dense/disparity_calculator.h"

#include <opencv2/core.hpp>

cv::Mat rightViewDisparity(const cv::Mat& leftView) {
    CV_Assert(leftView.type() == CV_32FC1);
    cv::Mat right = cv::Mat(leftView.size(), CV_32FC1, cv::Scalar(0));
    const int width = leftView.cols;
    for (int y = 0; y < leftView.rows; ++y) {
        const float* in = leftView.ptr<float>(y);
        float* out = right.ptr<float>(y);
        for (int x = 0; x < width; ++x) {
            const double column = double(x) - double(in[x]);
            // Truncation toward zero keeps (-1, 0) in column 0; NaN fails both tests.
            if (!(column > -1.0 && column < double(width))) continue;
            out[int(column)] = in[x];
        }
    }
    return right;
}
