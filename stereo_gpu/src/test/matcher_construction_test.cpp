// Checks that run without a GPU: the matcher's argument checks (made before
// any device call) and the entry's input checks.
#include "sgm/gpu_disparity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#ifdef SGM_WITH_CUDA
#include <cuda_runtime.h>

#include "sgm/semi_global_matcher.h"

namespace {

using Params = sgm::SemiGlobalMatcher::Parameters;

Params params(bool subpixel, int minDisparity) {
    Params p;
    p.subpixel = subpixel;
    p.minDisparity = minDisparity;
    return p;
}

struct RefusedCase {
    int disparitySize, inputBits, outputBits;
    Params p;
    const char* message;
};

TEST(SgmMatcherConstructionTest, RefusesWithFixedMessages) {
    const RefusedCase cases[] = {
        {64, 12, 16, params(true, 0), "src depth bits must be 8, 16 or 32"},
        {64, 8, 32, params(true, 0), "dst depth bits must be 8 or 16"},
        {96, 8, 16, params(true, 0), "disparity size must be 64 or 128 or 256"},
        {64, 8, 8, params(true, 0), "output depth bits must be sufficient for representing output value"},
        // 8 bits without sub-pixel: 256 - 1 + 1 = 256 does not fit.
        {256, 8, 8, params(false, 1), "output depth bits must be sufficient for representing output value"},
        // Signed output: 255 is not below 2^7.
        {256, 8, 8, params(false, 0), "output depth bits must be sufficient for representing output value"},
        // 16 bits, sub-pixel: (-2100 - 1) x 16 is below -2^15; (256 - 1 + 4000) x 16 + 15 reaches 2^16.
        {256, 8, 16, params(true, -2100), "output depth bits must be sufficient for representing output value"},
        {256, 8, 16, params(true, 4000), "output depth bits must be sufficient for representing output value"},
        // The source check comes first.
        {96, 12, 32, params(true, 0), "src depth bits must be 8, 16 or 32"},
    };
    for (const auto& c : cases) {
        try {
            sgm::SemiGlobalMatcher m(32, 16, c.disparitySize, c.inputBits, c.outputBits,
                                     sgm::EXECUTE_INOUT_HOST2HOST, c.p);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

bool deviceAbsent() {
    int count = 0;
    return cudaGetDeviceCount(&count) != cudaSuccess || count == 0;
}

TEST(SgmMatcherConstructionTest, ValidArgumentsWithoutDeviceFailLoudly) {
    if (!deviceAbsent()) GTEST_SKIP() << "a device is present; the device tests cover this";
    // 16 bits with sub-pixel at D 256 passes the range check (largest value
    // 4095), then the first allocation fails: a line and an exception.
    testing::internal::CaptureStdout();
    EXPECT_THROW(sgm::SemiGlobalMatcher(40, 20, 256, 8, 16, sgm::EXECUTE_INOUT_HOST2HOST, params(true, 0)),
                 std::runtime_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("[CUDA Error] ", 0), 0u) << out;
    EXPECT_NE(out.find(" (code: "), std::string::npos) << out;
    EXPECT_NE(out.find("device_buffer.cpp:"), std::string::npos) << out;

    cv::Mat img(20, 40, CV_8UC1, cv::Scalar(9));
    testing::internal::CaptureStdout();
    EXPECT_THROW(computeGpuDisparity(img, img, 64, 0, 4), std::runtime_error);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[CUDA Error] "), std::string::npos);
}

TEST(GpuEntryTest, ChecksItsInputs) {
    cv::Mat gray(20, 40, CV_8UC1, cv::Scalar(9));
    cv::Mat other(21, 40, CV_8UC1, cv::Scalar(9));
    cv::Mat color(20, 40, CV_8UC3, cv::Scalar(9, 9, 9));
    cv::Mat big(20, 50, CV_8UC1, cv::Scalar(9));
    cv::Mat strided = big(cv::Rect(0, 0, 40, 20));
    EXPECT_THROW(computeGpuDisparity(gray, other, 64, 0, 4), std::invalid_argument);
    EXPECT_THROW(computeGpuDisparity(color, color, 64, 0, 4), std::invalid_argument);
    EXPECT_THROW(computeGpuDisparity(strided, strided, 64, 0, 4), std::invalid_argument);
    EXPECT_THROW(computeGpuDisparity(cv::Mat(), cv::Mat(), 64, 0, 4), std::invalid_argument);
    try {
        computeGpuDisparity(gray, gray, 96, 0, 4);
        ADD_FAILURE() << "disparity size 96 accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "disparity size must be 64 or 128 or 256");
    }
}

TEST(GpuEntryTest, NamesTheBuiltCapabilities) {
    const auto caps = sgm::builtComputeCapabilities();
    ASSERT_FALSE(caps.empty());
    EXPECT_TRUE(std::is_sorted(caps.begin(), caps.end()));
    EXPECT_GE(caps.front(), 52);
}

}  // namespace

#else

TEST(GpuEntryTest, BuildWithoutCudaRefuses) {
    cv::Mat img(20, 40, CV_8UC1, cv::Scalar(9));
    EXPECT_THROW(computeGpuDisparity(img, img, 64, 0, 4), std::runtime_error);
    EXPECT_TRUE(sgm::builtComputeCapabilities().empty());
}

#endif
