#pragma once
// Disparities with the GPU semi-global matcher, computed in row strips sized
// by the device's free memory. The matcher itself is a function handed in:
// the GPU build hands computeGpuDisparity, tests a CPU stand-in.

#include "stereo_dense/disparity_calculator.h"
#include "stereo_dense/gpu_devices.h"

#include <cstdint>
#include <functional>
#include <memory>

// (left, right, disparitySize, minDisparity, pathCount) -> CV_16S disparities
// of the left image with 4 fractional bits, at least as many rows as given.
using GpuMatcher = std::function<cv::Mat(const cv::Mat& left, const cv::Mat& right, int disparitySize,
                                         int minDisparity, int pathCount)>;

// The matcher of this build; empty when the GPU matcher was not built.
GpuMatcher defaultGpuMatcher();

class SGM_GPU : public DisparityCalculator {
public:
    struct StripPlan {
        int64_t pieces = 0;
        int64_t rows = 0;  // rows per strip; the last strip holds the rest
    };

    // Runs matcher on device of devices.
    SGM_GPU(GpuMatcher matcher, std::shared_ptr<GpuDevices> devices, int device);
    // Writes its line to standard output.
    ~SGM_GPU() override;

    // Matches columns dispMin.. of left against 0..W - dispMin - 1 of right,
    // strip by strip, and shifts the result back (the first dispMin columns
    // are 0). Throws std::invalid_argument for images it cannot match and
    // std::runtime_error when the matcher is missing or answers a wrong map.
    dv::Var compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) override;

    // 64, 128 or 256 for the disparity range.
    static int disparitySize(int64_t range);
    // Pixels per strip for the free device memory.
    static int64_t stripArea(size_t freeMiB);
    static StripPlan planStrips(int64_t rows, int64_t cols, size_t freeMiB);

private:
    GpuMatcher matcher_;
    std::shared_ptr<GpuDevices> devices_;
    int device_;
};
