// SGM_CPU against SGM_GPU running the GPU matcher's host model, on a pair
// of known disparity: both match the same columns, and the band of the
// first numDisparities columns is as good as the rest.

#include "stereo_scene.h"
#include "stereo_dense/sgm_cpu.h"
#include "stereo_dense/sgm_gpu.h"

#include <gtest/gtest.h>

#if __has_include("sgm/host_reference.h")
#include "sgm/host_reference.h"
#define ZEL_HAVE_SGM_REFERENCE 1
#endif

#include <cmath>

namespace {

#ifdef ZEL_HAVE_SGM_REFERENCE

class OneDevice : public GpuDevices {
public:
    bool deviceCount(int& count) override { return (count = 1), true; }
    bool computeCapability(int, int& major, int& minor) override { return (major = 8), (minor = 6), true; }
    bool driverVersion(int& v) override { return (v = 12000), true; }
    bool runtimeVersion(int& v) override { return (v = 12000), true; }
    bool selectDevice(int) override { return true; }
    bool freeMemoryMB(size_t& mib) override { return (mib = 4096), true; }
};

cv::Mat hostModel(const cv::Mat& left, const cv::Mat& right, int size, int minDisparity, int paths) {
    sgm::ref::Settings settings;
    settings.pathCount = paths;
    settings.minDisparity = minDisparity;
    const cv::Mat l = left.clone(), r = right.clone();  // continuous
    std::vector<uint16_t> out = sgm::ref::disparity(l.data, r.data, l.cols, l.rows, size, settings);
    return cv::Mat(l.rows, l.cols, CV_16SC1, out.data()).clone();
}

// Two straight-down views of a tilted textured plane, the right one 40 m to
// the east: left x matches right x - f b / depth(x, y).
struct KnownPair {
    stereo_test::PlaneScene scene{10.0, 2000};
    double baseline = 40.0;
    cv::Mat left, right, truth;
    int dispMin = 0, dispMax = 0;
    KnownPair() {
        left = gray(scene.view(0, 0));
        right = gray(scene.view(baseline, 0));
        truth = cv::Mat(left.size(), CV_32FC1);
        double deepest = 0.0, nearest = 1e9;
        for (int y = 0; y < truth.rows; ++y)
            for (int x = 0; x < truth.cols; ++x) {
                const double depth = scene.ground.depthAt(scene.K(), scene.down(), {0, 0, scene.altitude}, x, y);
                truth.at<float>(y, x) = float(scene.focal * baseline / depth);
                deepest = std::max(deepest, depth);
                nearest = std::min(nearest, depth);
            }
        dispMin = int(std::floor(scene.focal * baseline / deepest));
        dispMax = int(std::ceil(scene.focal * baseline / nearest));
    }
    static cv::Mat gray(const cv::Mat& m) {
        if (m.channels() == 1) return m;
        cv::Mat g;
        cv::cvtColor(m, g, cv::COLOR_BGR2GRAY);
        return g;
    }
};

// Per column: the share of rows with a valid disparity, and over a set of
// columns the share of pixels with a match in the right view that lie
// within 1 px of the truth.
struct Scores {
    std::vector<double> valid;
    cv::Mat map, truth;
    int dispMin;
    Scores(const cv::Mat& m, const cv::Mat& t, int minimum) : map(m), truth(t), dispMin(minimum) {
        for (int x = 0; x < m.cols; ++x) {
            int n = 0, seen = 0;
            for (int y = 0; y < m.rows; ++y) {
                if (!matchable(y, x)) continue;
                ++seen;
                n += m.at<float>(y, x) >= float(dispMin) ? 1 : 0;
            }
            valid.push_back(seen ? double(n) / seen : -1.0);
        }
    }
    // The ground of left (y, x) is in the right view.
    bool matchable(int y, int x) const { return x - truth.at<float>(y, x) >= 1.0f; }
    bool covered(int x) const { return valid[size_t(x)] > 0.5; }
    double within1px(int from, int to) const {
        int64_t seen = 0, good = 0;
        for (int y = 4; y < map.rows - 4; ++y)
            for (int x = from; x < to; ++x) {
                const float d = truth.at<float>(y, x);
                if (!matchable(y, x)) continue;
                ++seen;
                good += std::fabs(map.at<float>(y, x) - d) <= 1.0f ? 1 : 0;
            }
        return seen ? double(good) / double(seen) : 0.0;
    }
};

TEST(SgmBandTest, CpuEngineMatchesTheColumnsOfTheGpuEngine) {
    const KnownPair pair;
    const int width = pair.left.cols;
    const int band = pair.dispMin + SGM_CPU::numDisparities(width);
    ASSERT_GT(pair.dispMin, 100);
    ASSERT_LT(band, width - 100) << "a band and a rest to compare";

    SGM_CPU cpuEngine;
    SGM_GPU gpuEngine(&hostModel, std::make_shared<OneDevice>(), 0);
    const cv::Mat cpu = cpuEngine.compute(pair.left, pair.right, pair.dispMin, pair.dispMax)[0].typedRef<cv::Mat>();
    const cv::Mat gpu = gpuEngine.compute(pair.left, pair.right, pair.dispMin, pair.dispMax)[0].typedRef<cv::Mat>();
    const Scores c(cpu, pair.truth, pair.dispMin), g(gpu, pair.truth, pair.dispMin);

    // The same columns carry disparities: none in front of dispMin, then
    // every column where most of the ground is in the right view, give or
    // take the matchers' borders.
    int cpuFirst = -1, gpuFirst = -1, differ = 0;
    for (int x = 0; x < width; ++x) {
        if (cpuFirst < 0 && c.covered(x)) cpuFirst = x;
        if (gpuFirst < 0 && g.covered(x)) gpuFirst = x;
        if (x < width - 8) differ += c.covered(x) != g.covered(x) ? 1 : 0;
    }
    EXPECT_EQ(cv::countNonZero(cpu.colRange(0, pair.dispMin) >= float(pair.dispMin)), 0);
    EXPECT_NEAR(cpuFirst, gpuFirst, 4);
    EXPECT_LT(cpuFirst, pair.dispMin + 40) << "the band is matched";
    EXPECT_LE(differ, 4);

    // The band, which StereoSGBM alone leaves empty, is as good as the rest.
    const double cpuBand = c.within1px(pair.dispMin, band), cpuRest = c.within1px(band, width - 4);
    const double gpuBand = g.within1px(pair.dispMin, band), gpuRest = g.within1px(band, width - 4);
    EXPECT_GT(cpuRest, 0.9);
    EXPECT_NEAR(cpuBand, cpuRest, 0.05);
    EXPECT_GT(gpuRest, 0.9);
    EXPECT_NEAR(gpuBand, gpuRest, 0.05);
    std::printf("within 1 px: CPU band %.3f rest %.3f, GPU host model band %.3f rest %.3f; first column CPU %d GPU %d (dispMin %d, band to %d)\n",
                cpuBand, cpuRest, gpuBand, gpuRest, cpuFirst, gpuFirst, pair.dispMin, band);
}

#else

TEST(SgmBandTest, CpuEngineMatchesTheColumnsOfTheGpuEngine) {
    GTEST_SKIP() << "the GPU matcher's host model (stereo_gpu/src/reference) is not in this build";
}

#endif

}  // namespace
