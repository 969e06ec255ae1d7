#include "stereo_dense/sgm_cpu.h"

#include "fw/settings.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <stdexcept>

int SGM_CPU::numDisparities(int width) {
    const int q = width / 4;
    return q > 256 ? 256 + 16 : q - q % 16 + 16;
}

dv::Var SGM_CPU::compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int /*dispMax*/) {
    if (left.empty() || left.size() != right.size() || left.type() != right.type())
        throw std::invalid_argument("SGM_CPU: the images must be of one size and type");
    const int width = left.cols;
    if (dispMin < 0 || dispMin >= width) throw std::invalid_argument("SGM_CPU: minimum disparity outside the image");
    const int cn = left.channels();
    const int mode = fw::Settings::instance().GetInt("pointsfusion.fulldp", 0);
    const int count = numDisparities(width);

    // StereoSGBM leaves its first minDisparity + numDisparities columns
    // unmatched. Matching columns dispMin.. of left against 0.. of right from
    // disparity 0, with count replicated columns in front of both, reaches
    // every column that can have a match; the front is cut off again.
    const int shiftedWidth = width - dispMin;
    cv::Mat paddedLeft, paddedRight;
    cv::copyMakeBorder(left.colRange(dispMin, width), paddedLeft, 0, 0, count, 0, cv::BORDER_REPLICATE);
    cv::copyMakeBorder(right.colRange(0, shiftedWidth), paddedRight, 0, 0, count, 0, cv::BORDER_REPLICATE);
    cv::Ptr<cv::StereoSGBM> matcher =
        cv::StereoSGBM::create(0, count, 3, 72 * cn, 288 * cn, 1, 63, 30, 100, 32, mode);
    cv::Mat fixed;
    matcher->compute(paddedLeft, paddedRight, fixed);

    // The matcher's invalid value -16 becomes dispMin - 1, as the columns
    // in front of dispMin, which no disparity of the range can match.
    cv::Mat leftView(left.rows, width, CV_32FC1, cv::Scalar(float(dispMin - 1)));
    cv::Mat shiftedView = leftView.colRange(dispMin, width);
    fixed.colRange(count, count + shiftedWidth).convertTo(shiftedView, CV_32F, 0.0625, double(dispMin));
    cv::Mat rightView = rightViewDisparity(leftView);
    return dv::Var(std::vector<dv::Var>{dv::Var(leftView), dv::Var(rightView)});
}
