// The whole matcher on the device: execute modes, buffer reuse and the entry
// of the dense depth stage, against the host reference.
#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "device_buffer.h"
#include "device_test_support.h"
#include "sgm/gpu_disparity.h"
#include "sgm/host_reference.h"
#include "sgm/semi_global_matcher.h"

namespace {

using Params = sgm::SemiGlobalMatcher::Parameters;

sgm::ref::Settings settingsOf(const Params& p) {
    sgm::ref::Settings s;
    s.P1 = p.P1;
    s.P2 = p.P2;
    s.uniqueness = p.uniqueness;
    s.subpixel = p.subpixel;
    s.pathCount = p.pathType == sgm::PathType::FourPaths ? 4 : 8;
    s.minDisparity = p.minDisparity;
    s.lrMaxDiff = p.lrMaxDiff;
    s.symmetricCensus = p.censusType == sgm::CensusType::SymmetricCensus;
    return s;
}

struct DeviceBlock {
    explicit DeviceBlock(size_t size) { EXPECT_EQ(cudaMalloc(&data, size), cudaSuccess); }
    ~DeviceBlock() { cudaFree(data); }
    void* data = nullptr;
};

class GpuMatcherTest : public sgmtest::DeviceTest {};

TEST_F(GpuMatcherTest, EveryExecuteModeMatchesTheReference) {
    const int w = 157, h = 61, D = 64;
    std::vector<uint8_t> left, right;
    sgmtest::texturedPair<uint8_t>(w, h, 23, 21, left, right);
    const size_t n = static_cast<size_t>(w) * h;

    for (int outBits : {16, 8}) {
        Params p;
        p.subpixel = outBits == 16;
        p.pathType = sgm::PathType::EightPaths;
        p.censusType = sgm::CensusType::Census;
        const auto expected = sgm::ref::disparity(left.data(), right.data(), w, h, D, settingsOf(p));
        for (int mode = 0; mode < 4; ++mode) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " bits " + std::to_string(outBits));
            sgm::SemiGlobalMatcher matcher(w, h, D, 8, outBits, static_cast<sgm::ExecuteInOut>(mode), p);
            DeviceBlock dLeft(n), dRight(n), dOut(n * 2);
            cudaMemcpy(dLeft.data, left.data(), n, cudaMemcpyHostToDevice);
            cudaMemcpy(dRight.data, right.data(), n, cudaMemcpyHostToDevice);
            const bool inDevice = mode & 1, outDevice = mode & 2;
            std::vector<uint16_t> out16(n);
            std::vector<uint8_t> out8(n);
            void* host = outBits == 16 ? static_cast<void*>(out16.data()) : static_cast<void*>(out8.data());
            matcher.execute(inDevice ? dLeft.data : left.data(), inDevice ? dRight.data : right.data(),
                            outDevice ? dOut.data : host);
            if (outDevice) cudaMemcpy(host, dOut.data, n * outBits / 8, cudaMemcpyDeviceToHost);
            if (outBits == 16) {
                EXPECT_EQ(out16, expected);
            } else {
                std::vector<uint8_t> low(n);
                sgm::ref::cast16To8(expected.data(), low.data(), n);
                EXPECT_EQ(out8, low);
            }
        }
    }
}

TEST_F(GpuMatcherTest, RepeatedExecutionAllocatesOnceAndRepeatsItself) {
    const int w = 200, h = 90, D = 128;
    std::vector<uint8_t> left, right;
    sgmtest::texturedPair<uint8_t>(w, h, 40, 5, left, right);
    Params p;
    p.subpixel = true;
    sgm::SemiGlobalMatcher matcher(w, h, D, 8, 16, sgm::EXECUTE_INOUT_HOST2HOST, p);
    std::vector<uint16_t> first(w * h), second(w * h);
    matcher.execute(left.data(), right.data(), first.data());
    const size_t allocations = sgm::detail::deviceAllocationCount();
    matcher.execute(left.data(), right.data(), second.data());
    EXPECT_EQ(sgm::detail::deviceAllocationCount(), allocations);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, sgm::ref::disparity(left.data(), right.data(), w, h, D, settingsOf(p)));
}

TEST_F(GpuMatcherTest, EntryOfTheDenseStage) {
    const int w = 301, h = 77, shift = 37;
    std::vector<uint8_t> left, right;
    sgmtest::texturedPair<uint8_t>(w, h, shift, 8, left, right);
    cv::Mat l(h, w, CV_8UC1, left.data()), r(h, w, CV_8UC1, right.data());
    sgm::ref::Settings s;  // the entry's settings: 4 paths, symmetric census, sub-pixel
    for (int pathCount : {4, 5}) {
        SCOPED_TRACE(pathCount);
        s.pathCount = pathCount == 4 ? 4 : 8;
        const cv::Mat out = computeGpuDisparity(l, r, 128, 0, pathCount);
        ASSERT_EQ(out.type(), CV_16SC1);
        const auto expected = sgm::ref::disparity(left.data(), right.data(), w, h, 128, s);
        int near = 0, valid = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int16_t v = out.at<int16_t>(y, x);
                ASSERT_EQ(static_cast<uint16_t>(v), expected[y * w + x]) << x << "," << y;
                ASSERT_TRUE(v == -16 || (v >= 0 && v <= 127 * 16)) << v;
                if (v >= 0 && x > shift + 8) {
                    ++valid;
                    near += std::abs(v - shift * 16) <= 16;
                }
            }
        EXPECT_GE(near, 0.9 * valid);
    }
}

TEST_F(GpuMatcherTest, FailedRuntimeCallEndsExecuteWithAnException) {
    // 16384 x 16384 fits the construction's images (4.5 GiB) but not the
    // cost volume of the first execution (256 GiB): that allocation fails.
    const int side = 16384;
    Params p;
    p.subpixel = true;
    sgm::SemiGlobalMatcher matcher(side, side, 256, 8, 16, sgm::EXECUTE_INOUT_HOST2HOST, p);
    std::vector<uint8_t> image(static_cast<size_t>(side) * side, 7);
    std::vector<uint16_t> out(static_cast<size_t>(side) * side);
    testing::internal::CaptureStdout();
    EXPECT_THROW(matcher.execute(image.data(), image.data(), out.data()), std::runtime_error);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("[CUDA Error] ", 0), 0u) << line;
    EXPECT_NE(line.find("(code: 2)"), std::string::npos) << line;  // cudaErrorMemoryAllocation
}

}  // namespace
