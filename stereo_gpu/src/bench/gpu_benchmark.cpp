// Timed run of the GPU matcher at 1368 x 912, D 256, 4 paths, beside
// single-thread cv::StereoSGBM with the CPU engine's settings, on a textured
// pair of constant disparity 37. Prints times and the fraction of pixels
// within 1 px of the truth for both.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "sgm/gpu_disparity.h"
#include "sgm/semi_global_matcher.h"

namespace {

constexpr int kWidth = 1368, kHeight = 912, kShift = 37;

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Fraction of the pixels that have a true match (x >= shift) whose disparity
// (16-bit, 4 fractional bits) lies within 1 px of the shift.
double nearTruth(const cv::Mat& disp16) {
    long near = 0, total = 0;
    for (int y = 0; y < disp16.rows; ++y)
        for (int x = kShift; x < disp16.cols; ++x) {
            ++total;
            near += std::abs(disp16.at<int16_t>(y, x) - kShift * 16) <= 16;
        }
    return static_cast<double>(near) / total;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 20;
    cv::Mat wide(kHeight, kWidth + kShift, CV_8UC1);
    cv::RNG rng(1);
    rng.fill(wide, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(wide, wide, cv::Size(3, 3), 0.8);
    cv::max(wide, 1, wide);
    const cv::Mat left = wide(cv::Rect(0, 0, kWidth, kHeight)).clone();
    const cv::Mat right = wide(cv::Rect(kShift, 0, kWidth, kHeight)).clone();

    cv::setNumThreads(1);
    const int q = kWidth / 4;
    const int numDisparities = q > 256 ? 272 : q - q % 16 + 16;
    auto sgbm = cv::StereoSGBM::create(0, numDisparities, 3, 72, 288, 1, 63, 30, 100, 32, cv::StereoSGBM::MODE_SGBM);
    cv::Mat cpu;
    const double cpuStart = nowMs();
    sgbm->compute(left, right, cpu);
    const double cpuMs = nowMs() - cpuStart;

    std::printf("pair %d x %d, disparity %d; StereoSGBM %d disparities, 1 thread: %.2f ms, within 1 px of truth %.4f\n",
                kWidth, kHeight, kShift, numDisparities, cpuMs, nearTruth(cpu));

    try {
        sgm::SemiGlobalMatcher::Parameters p;
        p.subpixel = true;
        p.pathType = sgm::PathType::FourPaths;
        p.censusType = sgm::CensusType::SymmetricCensus;
        sgm::SemiGlobalMatcher matcher(kWidth, kHeight, 256, 8, 16, sgm::EXECUTE_INOUT_HOST2HOST, p);
        cv::Mat gpu(kHeight, kWidth, CV_16SC1);
        matcher.execute(left.data, right.data, gpu.data);  // first run allocates the costs
        double start = nowMs();
        for (int i = 0; i < repeats; ++i) matcher.execute(left.data, right.data, gpu.data);
        const double gpuMs = (nowMs() - start) / repeats;

        start = nowMs();
        const cv::Mat entry = computeGpuDisparity(left, right, 256, 0, 4);
        const double entryMs = nowMs() - start;
        std::printf("GPU D 256, 4 paths: execute (upload, match, download) %.2f ms (mean of %d), "
                    "computeGpuDisparity with construction %.2f ms\n", gpuMs, repeats, entryMs);
        std::printf("speed-up of execute: %.1fx (target 20x: %s)\n", cpuMs / gpuMs,
                    cpuMs / gpuMs >= 20 ? "met" : "NOT met");
        std::printf("within 1 px of truth: GPU %.4f, StereoSGBM %.4f\n", nearTruth(gpu), nearTruth(cpu));
        std::printf("entry equals execute: %s\n", cv::countNonZero(entry != gpu) == 0 ? "yes" : "NO");
    } catch (const std::exception& e) {
        std::printf("GPU run failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
