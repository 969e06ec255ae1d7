#include "stereo_dense/sgm_cpu.h"

#include "fw/settings.h"

#include <opencv2/calib3d.hpp>

int SGM_CPU::numDisparities(int width) {
    const int q = width / 4;
    return q > 256 ? 256 + 16 : q - q % 16 + 16;
}

dv::Var SGM_CPU::compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int /*dispMax*/) {
    const int cn = left.channels();
    const int mode = fw::Settings::instance().GetInt("pointsfusion.fulldp", 0);
    cv::Ptr<cv::StereoSGBM> matcher = cv::StereoSGBM::create(dispMin, numDisparities(left.cols), 3, 72 * cn,
                                                             288 * cn, 1, 63, 30, 100, 32, mode);
    cv::Mat fixed;
    matcher->compute(left, right, fixed);
    cv::Mat leftView;
    fixed.convertTo(leftView, CV_32F, 0.0625, 0.0);
    cv::Mat rightView = rightViewDisparity(leftView);
    return dv::Var(std::vector<dv::Var>{dv::Var(leftView), dv::Var(rightView)});
}
