#pragma once
// Interface of the disparity engines. Engines keep no state between calls;
// the dense stage calls one at a time.

#include "dv/var.h"

#include <opencv2/core/mat.hpp>

class DisparityCalculator {
public:
    // For 8-bit single-channel rectified images of equal size, whose matches
    // lie on the same row with the right view's match further left: a list of
    // two CV_32F maps of the input size, in pixels. [0] left view: d at (y, x)
    // means left x matches right x - d. [1] right view, from [0] by forward
    // warping, 0 where nothing was assigned. dispMin is the smallest disparity
    // searched, dispMax an upper estimate. Errors throw (cv::Exception,
    // std::exception).
    virtual dv::Var compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) = 0;
    virtual ~DisparityCalculator() = default;
};

// The right-view map of a left-view map: for each pixel (y, x) of value d,
// right(y, trunc(x - d)) = d when that column is inside; later pixels of a
// row overwrite earlier ones. Non-finite values are skipped.
cv::Mat rightViewDisparity(const cv::Mat& leftView);
