#include "stereo_dense/sgm_gpu.h"

#include <opencv2/core.hpp>

#include <iostream>
#include <stdexcept>

SGM_GPU::SGM_GPU(GpuMatcher matcher, std::shared_ptr<GpuDevices> devices, int device)
    : matcher_(std::move(matcher)), devices_(std::move(devices)), device_(device) {}

SGM_GPU::~SGM_GPU() {
    try {
        std::cout << "New SGM module is used, no graphics memory pre-allocation.  " << 0 << std::endl;
    } catch (...) {
        // Nothing may leave a destructor; the note on standard output is lost.
    }
}

int SGM_GPU::disparitySize(int64_t range) {
    if (range <= 64) return 64;
    if (range <= 128) return 128;
    return 256;
}

int64_t SGM_GPU::stripArea(size_t freeMiB) {
    if (freeMiB >= 2048) return 2097152;
    if (freeMiB >= 1024) return 1048576;
    if (freeMiB >= 512) return 524288;
    return 262144;
}

SGM_GPU::StripPlan SGM_GPU::planStrips(int64_t rows, int64_t cols, size_t freeMiB) {
    StripPlan plan;
    if (rows <= 0 || cols <= 0) return plan;
    const int64_t area = stripArea(freeMiB);
    plan.pieces = (rows * cols + area - 1) / area;
    plan.rows = (rows + plan.pieces - 1) / plan.pieces;
    return plan;
}

dv::Var SGM_GPU::compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) {
    if (!matcher_) throw std::runtime_error("SGM_GPU: no GPU matcher in this build");
    if (left.empty() || left.type() != CV_8UC1 || right.type() != CV_8UC1 || left.size() != right.size())
        throw std::invalid_argument("SGM_GPU: the images must be 8-bit grey of one size");
    const int width = left.cols, height = left.rows;
    if (dispMin < 0 || dispMin >= width) throw std::invalid_argument("SGM_GPU: minimum disparity outside the image");

    const int shiftedWidth = width - dispMin;
    const cv::Mat leftShifted = left.colRange(dispMin, width).clone();
    const cv::Mat rightShifted = right.colRange(0, shiftedWidth).clone();
    const int size = disparitySize(int64_t(dispMax) - int64_t(dispMin));

    // The matcher runs on the device that was chosen, from whichever worker calls.
    size_t freeMiB = 0;
    if (!freeGpuMemoryMB(*devices_, device_, freeMiB)) freeMiB = 0;  // the smallest strips
    const StripPlan plan = planStrips(height, shiftedWidth, freeMiB);

    cv::Mat stacked(height, shiftedWidth, CV_16SC1);
    for (int64_t first = 0; first < height; first += plan.rows) {
        const int top = int(first);
        const int bottom = int(std::min<int64_t>(first + plan.rows, height));
        const cv::Mat strip = matcher_(leftShifted.rowRange(top, bottom), rightShifted.rowRange(top, bottom), size, 0, 4);
        if (strip.type() != CV_16SC1 || strip.cols != shiftedWidth || strip.rows < bottom - top)
            throw std::runtime_error("SGM_GPU: the matcher answered a map of the wrong size or type");
        strip.rowRange(0, bottom - top).copyTo(stacked.rowRange(top, bottom));
    }

    cv::Mat leftView = cv::Mat(height, width, CV_32FC1, cv::Scalar(0));
    cv::Mat shiftedView = leftView.colRange(dispMin, width);
    stacked.convertTo(shiftedView, CV_32F, 0.0625, double(dispMin));
    cv::Mat rightView = rightViewDisparity(leftView);
    return dv::Var(std::vector<dv::Var>{dv::Var(leftView), dv::Var(rightView)});
}
