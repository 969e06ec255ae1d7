// SGM_CPU on a pair of known constant disparity, the right-view warp, and
// SGM_GPU's host side (size rule, strips, stacking) with a CPU stand-in matcher.

#include "stereo_dense/sgm_cpu.h"
#include "stereo_dense/sgm_gpu.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>

namespace {

// Blobs of a few pixels, as a ground texture looks from above.
cv::Mat texture(int width, int height, uint64 seed = 3) {
    cv::RNG rng(seed);
    cv::Mat coarse(height / 3 + 1, width / 3 + 1, CV_8UC1);
    rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat fine;
    cv::resize(coarse, fine, cv::Size(), 3.0, 3.0, cv::INTER_CUBIC);
    cv::GaussianBlur(fine, fine, cv::Size(3, 3), 0.8);
    return fine(cv::Rect(0, 0, width, height)).clone();
}

// left(x) = right(x - shift).
struct ShiftedPair {
    cv::Mat left, right;
    ShiftedPair(int width, int height, int shift) {
        const cv::Mat t = texture(width + shift, height);
        left = t.colRange(0, width).clone();
        right = t.colRange(shift, width + shift).clone();
    }
};

cv::Mat mapAt(const dv::Var& result, int i) { return result[i].typedRef<cv::Mat>(); }

TEST(SgmCpuTest, ConstantDisparityPair) {
    const ShiftedPair pair(320, 240, 37);
    SGM_CPU engine;
    const dv::Var result = engine.compute(pair.left, pair.right, 0, 100);
    const cv::Mat left = mapAt(result, 0), right = mapAt(result, 1);
    ASSERT_EQ(left.type(), CV_32FC1);
    ASSERT_EQ(left.size(), pair.left.size());
    ASSERT_EQ(right.size(), pair.left.size());
    // Every column with a match in the right view, the band of the first
    // numDisparities columns included.
    int checked = 0, off = 0;
    for (int y = 2; y < 238; ++y)
        for (int x = 37 + 2; x < 318; ++x) {
            ++checked;
            if (std::fabs(left.at<float>(y, x) - 37.0f) > 0.25f) ++off;
        }
    EXPECT_GT(checked, 60000);
    EXPECT_LT(off, checked / 100);
    // The right view carries the same disparity 37 columns further left.
    EXPECT_NEAR(right.at<float>(120, 200 - 37), 37.0f, 0.25f);
}

TEST(SgmCpuTest, DisparityCountFollowsTheWidth) {
    const int cases[][2] = {{960, 256}, {1368, 272}, {100, 32}, {1024, 272}, {1000, 256}, {64, 32}, {3, 16}};
    for (const auto& c : cases) EXPECT_EQ(SGM_CPU::numDisparities(c[0]), c[1]) << "width " << c[0];
}

TEST(SgmCpuTest, RejectedPixelsCarryTheInvalidValue) {
    const ShiftedPair pair(160, 120, 10);
    SGM_CPU engine;
    const cv::Mat left = mapAt(engine.compute(pair.left, pair.right, 5, 40), 0);
    EXPECT_FLOAT_EQ(left.at<float>(60, 0), 4.0f) << "dispMin - 1 in front of dispMin";
    EXPECT_FLOAT_EQ(left.at<float>(60, 4), 4.0f);
}

TEST(SgmCpuTest, BadInputThrows) {
    const cv::Mat image = cv::Mat::zeros(40, 60, CV_8UC1);
    SGM_CPU engine;
    EXPECT_THROW(engine.compute(image, image, 60, 70), std::invalid_argument);
    EXPECT_THROW(engine.compute(image, image, -1, 10), std::invalid_argument);
    EXPECT_THROW(engine.compute(image, cv::Mat::zeros(40, 59, CV_8UC1), 0, 10), std::invalid_argument);
    EXPECT_THROW(engine.compute(cv::Mat(), cv::Mat(), 0, 10), std::invalid_argument);
}

TEST(RightViewTest, ForwardWarp) {
    cv::Mat left = cv::Mat::zeros(2, 20, CV_32FC1);
    left.at<float>(0, 10) = 3.5f;  // 6.5 -> 6
    left.at<float>(0, 12) = 6.0f;  // 6: the later pixel wins
    left.at<float>(1, 0) = -0.5f;  // 0.5 -> 0
    left.at<float>(1, 3) = 3.5f;   // -0.5 -> 0 (toward zero)
    left.at<float>(1, 5) = 30.0f;  // outside
    left.at<float>(1, 19) = -2.0f; // 21: outside
    left.at<float>(1, 7) = std::nanf("");
    left.at<float>(1, 8) = -INFINITY;
    const cv::Mat right = rightViewDisparity(left);
    EXPECT_FLOAT_EQ(right.at<float>(0, 6), 6.0f);
    EXPECT_FLOAT_EQ(right.at<float>(0, 10), 0.0f) << "from x = 10 - 0";
    EXPECT_FLOAT_EQ(right.at<float>(1, 0), 3.5f);
    EXPECT_EQ(cv::countNonZero(right.row(1)), 1);
}

// A device that reports a fixed free memory.
class FixedMemory : public GpuDevices {
public:
    explicit FixedMemory(size_t mib) : mib_(mib) {}
    bool deviceCount(int& count) override { return (count = 1), true; }
    bool computeCapability(int, int& major, int& minor) override { return (major = 8), (minor = 6), true; }
    bool driverVersion(int& v) override { return (v = 12000), true; }
    bool runtimeVersion(int& v) override { return (v = 12000), true; }
    bool selectDevice(int device) override {
        selected = device;
        return true;
    }
    bool freeMemoryMB(size_t& mib) override { return (mib = mib_), true; }
    int selected = -1;

private:
    size_t mib_;
};

// The GPU matcher's contract on the CPU: StereoSGBM from disparity 0.
cv::Mat standIn(const cv::Mat& left, const cv::Mat& right, int size, int minDisparity, int) {
    cv::Ptr<cv::StereoSGBM> sgbm = cv::StereoSGBM::create(minDisparity, size, 3, 72, 288, 1, 63, 30, 100, 32);
    cv::Mat out;
    sgbm->compute(left, right, out);
    return out;
}

TEST(SgmGpuTest, ShiftedSearchGivesTheFullPairsDisparity) {
    const ShiftedPair pair(640, 480, 37);
    auto devices = std::make_shared<FixedMemory>(100);  // two strips of 620 columns
    int calls = 0;
    SGM_GPU engine(
        [&](const cv::Mat& l, const cv::Mat& r, int size, int minDisparity, int paths) {
            ++calls;
            EXPECT_EQ(size, 64);
            EXPECT_EQ(minDisparity, 0);
            EXPECT_EQ(paths, 4);
            EXPECT_EQ(l.cols, 620);
            return standIn(l, r, size, minDisparity, paths);
        },
        devices, 2);
    const dv::Var result = engine.compute(pair.left, pair.right, 20, 60);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(devices->selected, 2) << "runs on the chosen device";
    const cv::Mat left = mapAt(result, 0);
    ASSERT_EQ(left.size(), pair.left.size());
    EXPECT_EQ(cv::countNonZero(left.colRange(0, 20)), 0);
    int off = 0;
    for (int y = 2; y < 478; ++y)
        for (int x = 20 + 64 + 2; x < 638; ++x)
            if (std::fabs(left.at<float>(y, x) - 37.0f) > 0.25f) ++off;
    // Strip edges lose a row or two of context, nothing more.
    EXPECT_LT(off, 2 * 640);
    EXPECT_NEAR(mapAt(result, 1).at<float>(100, 300 - 37), 37.0f, 0.25f);
}

TEST(SgmGpuTest, DisparitySizeAndStripTables) {
    EXPECT_EQ(SGM_GPU::disparitySize(150 - 20), 256);
    EXPECT_EQ(SGM_GPU::disparitySize(64), 64);
    EXPECT_EQ(SGM_GPU::disparitySize(65), 128);
    EXPECT_EQ(SGM_GPU::disparitySize(128), 128);
    EXPECT_EQ(SGM_GPU::disparitySize(129), 256);
    EXPECT_EQ(SGM_GPU::disparitySize(5000), 256);
    EXPECT_EQ(SGM_GPU::disparitySize(-3), 64);

    EXPECT_EQ(SGM_GPU::stripArea(0), 262144);
    EXPECT_EQ(SGM_GPU::stripArea(511), 262144);
    EXPECT_EQ(SGM_GPU::stripArea(512), 524288);
    EXPECT_EQ(SGM_GPU::stripArea(1024), 1048576);
    EXPECT_EQ(SGM_GPU::stripArea(2048), 2097152);

    const SGM_GPU::StripPlan plan = SGM_GPU::planStrips(3000, 4000, 1000);
    EXPECT_EQ(plan.pieces, 23);
    EXPECT_EQ(plan.rows, 131);
    // Large images stay in 64 bits.
    const SGM_GPU::StripPlan huge = SGM_GPU::planStrips(200000, 200000, 4096);
    EXPECT_EQ(huge.pieces, 19074);
    EXPECT_EQ(huge.rows, 11);
}

TEST(SgmGpuTest, StripsAreStackedInOrderAndCutToSize) {
    // 4000 x 3000 with 1000 MiB free: 23 strips of 131 rows, the last of 118.
    const cv::Mat image = cv::Mat::zeros(3000, 4000 + 7, CV_8UC1);
    std::vector<int> heights;
    SGM_GPU engine(
        [&](const cv::Mat& l, const cv::Mat&, int, int, int) {
            // Two rows too many, filled with the strip's number.
            cv::Mat out(l.rows + 2, l.cols, CV_16SC1, cv::Scalar(int(heights.size()) * 16));
            heights.push_back(l.rows);
            return out;
        },
        std::make_shared<FixedMemory>(1000), 0);
    const cv::Mat left = mapAt(engine.compute(image, image, 7, 50), 0);
    ASSERT_EQ(heights.size(), 23u);
    EXPECT_EQ(heights.front(), 131);
    EXPECT_EQ(heights.back(), 118);
    EXPECT_EQ(cv::countNonZero(left.colRange(0, 7)), 0);
    for (int y : {0, 130, 131, 1500, 2881, 2882, 2999}) EXPECT_FLOAT_EQ(left.at<float>(y, 3000), float(y / 131 + 7)) << y;
}

TEST(SgmGpuTest, StripLoopStopsAtTheLastRow) {
    // 10 rows planned as 7 pieces of 2 rows: 5 strips are enough.
    const int cols = 157287;
    EXPECT_EQ(SGM_GPU::planStrips(10, cols, 0).pieces, 7);
    const cv::Mat image = cv::Mat::zeros(10, cols, CV_8UC1);
    int rows = 0, calls = 0;
    SGM_GPU engine(
        [&](const cv::Mat& l, const cv::Mat&, int, int, int) {
            ++calls;
            rows += l.rows;
            return cv::Mat(l.rows, l.cols, CV_16SC1, cv::Scalar(16));
        },
        std::make_shared<FixedMemory>(0), 0);
    engine.compute(image, image, 0, 10);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(rows, 10);
}

TEST(SgmGpuTest, BadInputAndBadMatcherAnswersThrow) {
    const cv::Mat image = cv::Mat::zeros(40, 60, CV_8UC1);
    auto devices = std::make_shared<FixedMemory>(4096);
    auto answering = [&](cv::Mat answer) {
        return SGM_GPU([answer](const cv::Mat&, const cv::Mat&, int, int, int) { return answer; }, devices, 0);
    };
    EXPECT_THROW(SGM_GPU(GpuMatcher(), devices, 0).compute(image, image, 0, 10), std::runtime_error);
    EXPECT_THROW(answering(cv::Mat(40, 60, CV_32FC1)).compute(image, image, 0, 10), std::runtime_error);
    EXPECT_THROW(answering(cv::Mat(39, 60, CV_16SC1)).compute(image, image, 0, 10), std::runtime_error);
    EXPECT_THROW(answering(cv::Mat(40, 60, CV_16SC1)).compute(image, image, 60, 70), std::invalid_argument);
    EXPECT_THROW(answering(cv::Mat(40, 60, CV_16SC1)).compute(image, image, -1, 10), std::invalid_argument);
    EXPECT_THROW(answering(cv::Mat(40, 60, CV_16SC1)).compute(image, cv::Mat(40, 59, CV_8UC1), 0, 10),
                 std::invalid_argument);
}

TEST(SgmGpuTest, DestructorWritesItsLine) {
    testing::internal::CaptureStdout();
    { SGM_GPU engine(GpuMatcher(), std::make_shared<FixedMemory>(0), 0); }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "New SGM module is used, no graphics memory pre-allocation.  0\n");
}

}  // namespace
