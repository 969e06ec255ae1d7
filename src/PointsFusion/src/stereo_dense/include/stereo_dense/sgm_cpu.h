#pragma once
// Disparities with OpenCV's semi-global block matcher.

#include "stereo_dense/disparity_calculator.h"

class SGM_CPU : public DisparityCalculator {
public:
    // Searches numDisparities(W) disparities from dispMin (dispMax is not
    // used), in the mode of "pointsfusion.fulldp" (0 SGBM, 1 HH). Rejected
    // pixels carry dispMin - 1.
    dv::Var compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) override;

    // W / 4 cut to a multiple of 16, plus 16; 272 above 256.
    static int numDisparities(int width);
};
