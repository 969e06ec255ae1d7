#pragma once
// Disparities with OpenCV's semi-global block matcher.

#include "stereo_dense/disparity_calculator.h"

class SGM_CPU : public DisparityCalculator {
public:
    // Searches numDisparities(W) disparities from dispMin (dispMax is not
    // used), in the mode of "pointsfusion.fulldp" (0 SGBM, 1 HH), over
    // columns dispMin to W - 1, the columns the GPU engine matches. Rejected
    // pixels and the first dispMin columns carry dispMin - 1. Throws
    // std::invalid_argument for images of different size or type and for a
    // dispMin outside 0 .. W - 1.
    dv::Var compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) override;

    // W / 4 cut to a multiple of 16, plus 16; 272 above 256.
    static int numDisparities(int width);
};
