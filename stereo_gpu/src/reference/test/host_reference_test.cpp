#include "sgm/host_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using sgm::ref::kInvalidDisparity;

// Random texture with no zero pixel; right = left shifted so that left x
// matches right x - shift.
void shiftedPair(int width, int height, int shift, unsigned seed, cv::Mat& left, cv::Mat& right) {
    cv::Mat wide(height, width + shift, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(wide, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(wide, wide, cv::Size(3, 3), 0.8);
    cv::max(wide, 1, wide);
    left = wide(cv::Rect(0, 0, width, height)).clone();
    right = wide(cv::Rect(shift, 0, width, height)).clone();
}

TEST(ReferenceCensusTest, BordersStayZeroAndInteriorIsCoded) {
    const int w = 17, h = 11;
    std::vector<uint8_t> img(w * h);
    std::mt19937 rng(3);
    for (auto& v : img) v = static_cast<uint8_t>(1 + rng() % 255);
    const auto c = sgm::ref::census(img.data(), w, h, w);
    const auto s = sgm::ref::symmetricCensus(img.data(), w, h, w);
    int coded = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool interior = x >= 4 && x < w - 4 && y >= 3 && y < h - 3;
            if (!interior) {
                EXPECT_EQ(c[y * w + x], 0u) << x << "," << y;
                EXPECT_EQ(s[y * w + x], 0u) << x << "," << y;
            } else {
                coded += c[y * w + x] != 0;
                EXPECT_EQ(c[y * w + x] >> 56, 0u);
                EXPECT_EQ(s[y * w + x] >> 31, 0u);
            }
        }
    EXPECT_GT(coded, 0);
}

TEST(ReferenceCensusTest, BitOrderOnRampAndPeak) {
    // Horizontal ramp: a neighbour is smaller exactly when it lies to the left.
    const int w = 12, h = 9, pitch = 13;
    std::vector<uint16_t> ramp(pitch * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < pitch; ++x) ramp[y * pitch + x] = static_cast<uint16_t>(1000 + x);
    uint64_t expected = 0;
    for (int row = 0; row < 7; ++row) expected = (expected << 8) | 0xF0;
    EXPECT_EQ(sgm::ref::census(ramp.data(), w, h, pitch)[4 * w + 5], expected);
    // Symmetric: pixel(x + dx) > pixel(x - dx) exactly for dx > 0; the last
    // four comparisons (dx < 0 on the centre row) are all 0.
    const uint32_t row = 0x0F;  // dx = -4..4 -> 000001111
    EXPECT_EQ(sgm::ref::symmetricCensus(ramp.data(), w, h, pitch)[4 * w + 5],
              ((row << 18) | (row << 9) | row) << 4);

    // A peak above its whole window sets all 56 bits.
    std::vector<uint32_t> peak(w * h, 50);
    peak[4 * w + 5] = 100;
    EXPECT_EQ(sgm::ref::census(peak.data(), w, h, w)[4 * w + 5], 0x00FFFFFFFFFFFFFFull);
}

TEST(ReferenceAggregationTest, WorkedExampleOfOneRow) {
    // W 2, H 1, D 4, minDisparity -3: x = 0 compares right columns 3, 2, 1, 0;
    // x = 1 compares 4, 3, 2, 1 (outside columns count as code 0).
    const std::vector<uint32_t> left = {0xFF, 0x01};
    const std::vector<uint32_t> right = {0x0F, 0xFF};
    // costs x=0: [8, 8, 0, 4]; x=1: [1, 1, 1, 7]
    const auto costs = sgm::ref::aggregateCosts(left.data(), right.data(), 2, 1, 4, 3, 5, 4, -3);
    const size_t plane = 8;
    const std::vector<uint8_t> down(costs.begin(), costs.begin() + plane);
    EXPECT_EQ(down, (std::vector<uint8_t>{8, 8, 0, 4, 1, 1, 1, 7}));  // one row: the cost itself
    const std::vector<uint8_t> rightward(costs.begin() + 2 * plane, costs.begin() + 3 * plane);
    // x = 1 from prev [8, 8, 0, 4], m 0, P1 3, P2 5.
    EXPECT_EQ(rightward, (std::vector<uint8_t>{8, 8, 0, 4, 6, 4, 1, 10}));
    const std::vector<uint8_t> leftward(costs.begin() + 3 * plane, costs.begin() + 4 * plane);
    // x = 0 from prev [1, 1, 1, 7], m 1.
    EXPECT_EQ(leftward, (std::vector<uint8_t>{8, 8, 0, 7, 1, 1, 1, 7}));
}

TEST(ReferenceAggregationTest, EachPathCarriesAChangeOnlyAlongItsDirection) {
    // Changing one left code changes the costs of that pixel only; on plane p
    // the aggregated values may then differ only on the ray that starts there
    // and follows the path's step.
    const int w = 9, h = 7, D = 8, cx = 4, cy = 3;
    std::mt19937 rng(5);
    std::vector<uint32_t> left(w * h), right(w * h);
    for (auto& v : left) v = rng() & 0x7FFFFFFF;
    for (auto& v : right) v = rng() & 0x7FFFFFFF;
    const auto before = sgm::ref::aggregateCosts(left.data(), right.data(), w, h, D, 10, 120, 8, 0);
    left[cy * w + cx] ^= 0x5555;
    const auto after = sgm::ref::aggregateCosts(left.data(), right.data(), w, h, D, 10, 120, 8, 0);
    const int step[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {-1, 1}, {-1, -1}, {1, -1}};
    const size_t plane = size_t(w) * h * D;
    for (int p = 0; p < 8; ++p)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                bool differs = false;
                for (int d = 0; d < D; ++d) {
                    const size_t i = p * plane + (size_t(y) * w + x) * D + d;
                    differs = differs || before[i] != after[i];
                }
                bool onRay = false;
                for (int k = 0; k < 10; ++k)
                    onRay = onRay || (x == cx + k * step[p][0] && y == cy + k * step[p][1]);
                if (x == cx && y == cy) {
                    EXPECT_TRUE(differs) << "path " << p;
                }
                if (!onRay) {
                    EXPECT_FALSE(differs) << "path " << p << " at " << x << "," << y;
                }
            }
}

struct WtaCase {
    const char* name;
    std::vector<std::pair<int, int>> sums;  // (disparity, sum); others get 200
    bool subpixel;
    int expected;
};

TEST(ReferenceWinnerTakesAllTest, HandCases) {
    const int D = 64;
    const std::vector<WtaCase> cases = {
        {"best 0 exact", {{0, 4}, {1, 9}}, true, 0},
        {"best D-1 exact", {{63, 4}, {62, 9}}, true, 63 * 16},
        {"interior rounds toward zero up", {{19, 10}, {20, 4}, {21, 6}}, true, 20 * 16 + 4},
        {"interior rounds toward zero down", {{19, 6}, {20, 4}, {21, 10}}, true, 20 * 16 - 3},
        {"normal output", {{19, 6}, {20, 4}, {21, 10}}, false, 20},
        {"far tie at zero keeps smaller", {{3, 0}, {10, 0}}, false, 3},
        {"far tie above zero fails uniqueness", {{3, 20}, {10, 20}}, false, kInvalidDisparity},
        {"neighbour tie keeps smaller", {{4, 30}, {5, 20}, {6, 20}}, true, 5 * 16 + 8},
        {"ratio just kept", {{7, 95}, {30, 100}}, false, 7},
        {"ratio just failed", {{7, 96}, {30, 100}}, false, kInvalidDisparity},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> costs(4 * D, 0);
        for (int d = 0; d < D; ++d) costs[d] = 200;
        for (auto [d, s] : c.sums) costs[d] = static_cast<uint8_t>(s);
        uint16_t left = 0, right = 0;
        sgm::ref::winnerTakesAll(costs.data(), 1, 1, 1, D, 4, 0.95f, c.subpixel, &left, &right);
        EXPECT_EQ(left, c.expected) << c.name;
    }
}

TEST(ReferenceWinnerTakesAllTest, RightViewTakesSmallestOnDiagonal) {
    // Row of 3 pixels, D 4, one path: sum(x, d) = 10 except where set.
    const int w = 3, D = 4;
    std::vector<uint8_t> costs(4 * w * D, 0);
    for (int i = 0; i < w * D; ++i) costs[i] = 10;
    costs[2 * D + 2] = 3;  // pixel 2, d 2 -> right column 0
    costs[1 * D + 1] = 3;  // pixel 1, d 1 -> right column 0 as well: tie, smaller d wins
    costs[2 * D + 0] = 5;  // pixel 2, d 0 -> right column 2
    std::vector<uint16_t> left(w), right(w);
    sgm::ref::winnerTakesAll(costs.data(), w, 1, w, D, 4, 0.95f, false, left.data(), right.data());
    EXPECT_EQ(right, (std::vector<uint16_t>{1, 0, 0}));
}

TEST(ReferenceFilterTest, MedianBorderAndInterior) {
    const int w = 5, h = 4;
    std::vector<uint16_t> src(w * h), dst(w * h, 77);
    for (int i = 0; i < w * h; ++i) src[i] = static_cast<uint16_t>((i * 37) % 23);
    sgm::ref::median3x3(src.data(), dst.data(), w, h, w);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) {
                EXPECT_EQ(dst[y * w + x], 0);
                continue;
            }
            std::vector<uint16_t> v;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) v.push_back(src[(y + dy) * w + x + dx]);
            std::sort(v.begin(), v.end());
            EXPECT_EQ(dst[y * w + x], v[4]);
        }
}

TEST(ReferenceFilterTest, ConsistencyRules) {
    // One row of 6; right view says disparity 2 everywhere.
    const int w = 6;
    const std::vector<uint16_t> right(w, 2);
    const std::vector<uint8_t> src = {9, 9, 9, 0, 9, 9};
    // sub-pixel values: x0 d2 (k<0, kept), x1 invalid, x2 d2 ok, x3 source 0,
    // x4 d4 (|2-4| > 1), x5 d3 (|2-3| <= 1)
    std::vector<uint16_t> left = {32, kInvalidDisparity, 40, 32, 64, 48};
    sgm::ref::checkConsistency(left.data(), right.data(), src.data(), w, 1, w, w, true, 1);
    EXPECT_EQ(left, (std::vector<uint16_t>{32, kInvalidDisparity, 40, kInvalidDisparity, kInvalidDisparity, 48}));
    // A negative lrMaxDiff disables the comparison but not the zero-pixel rule.
    std::vector<uint16_t> left2 = {2, 3, 2, 2, 4, 3};
    sgm::ref::checkConsistency(left2.data(), right.data(), src.data(), w, 1, w, w, false, -1);
    EXPECT_EQ(left2, (std::vector<uint16_t>{2, 3, 2, kInvalidDisparity, 4, 3}));
}

TEST(ReferenceFilterTest, RangeCorrectionAndCast) {
    std::vector<uint16_t> d = {0, 17, kInvalidDisparity, 65535 - 1};
    sgm::ref::correctDisparityRange(d.data(), 4, 1, 4, 5 * 16, (5 - 1) * 16);
    EXPECT_EQ(d, (std::vector<uint16_t>{80, 97, 64, 78}));  // last wraps modulo 2^16
    std::vector<uint8_t> low(4);
    const std::vector<uint16_t> wide = {0x1234, 0x00FF, 0xFFF0, 7};
    sgm::ref::cast16To8(wide.data(), low.data(), 4);
    EXPECT_EQ(low, (std::vector<uint8_t>{0x34, 0xFF, 0xF0, 7}));
}

TEST(ReferencePipelineTest, FlatImageGivesZeroEverywhere) {
    const int w = 20, h = 10;
    std::vector<uint8_t> flat(w * h, 120);
    for (bool symmetric : {true, false}) {
        sgm::ref::Settings s;
        s.symmetricCensus = symmetric;
        const auto out = sgm::ref::disparity(flat.data(), flat.data(), w, h, 64, s);
        for (uint16_t v : out) ASSERT_EQ(v, 0);
    }
}

TEST(ReferencePipelineTest, InvalidValuesFollowRangeAndScale) {
    const int w = 24, h = 12;
    std::vector<uint8_t> flat(w * h, 120);
    flat[5 * w + 7] = 0;  // zero source pixel: always invalid
    struct Case {
        bool subpixel;
        int minDisparity;
        int16_t invalid;
    };
    for (const Case c : {Case{true, 0, -16}, Case{false, 0, -1}, Case{true, 3, 32}, Case{false, -2, -3}}) {
        sgm::ref::Settings s;
        s.subpixel = c.subpixel;
        s.minDisparity = c.minDisparity;
        const auto out = sgm::ref::disparity(flat.data(), flat.data(), w, h, 64, s);
        EXPECT_EQ(static_cast<int16_t>(out[5 * w + 7]), c.invalid) << c.subpixel << " " << c.minDisparity;
    }
}

TEST(ReferencePipelineTest, MatchesOpenCvSemiGlobalMatcherOnShiftedTexture) {
    const int w = 256, h = 96, shift = 37;
    cv::Mat left, right;
    shiftedPair(w, h, shift, 11, left, right);

    for (int paths : {4, 8}) {
        sgm::ref::Settings s;  // the GPU engine's settings
        s.pathCount = paths;
        const auto ours = sgm::ref::disparity(left.data, right.data, w, h, 64, s);

        // The CPU engine's matcher: numDisparities from a quarter of the width.
        const int q = w / 4;
        const int numDisparities = q > 256 ? 272 : q - q % 16 + 16;
        auto sgbm = cv::StereoSGBM::create(0, numDisparities, 3, 72, 288, 1, 63, 30, 100, 32,
                                           cv::StereoSGBM::MODE_SGBM);
        cv::Mat theirs;
        sgbm->compute(left, right, theirs);

        // The band where the census window does not fit (4 columns, 3 rows)
        // and the median's border hold no match of ours: left out.
        int valid = 0, agree = 0, ourTruth = 0;
        for (int y = 4; y < h - 4; ++y)
            for (int x = 5; x < w - 5; ++x) {
                const int a = static_cast<int16_t>(ours[y * w + x]);
                const int b = theirs.at<int16_t>(y, x);
                if (a < 0 || b < 0) continue;
                ++valid;
                agree += std::abs(a - b) <= 16;
                ourTruth += std::abs(a - shift * 16) <= 16;
            }
        ASSERT_GT(valid, w * h / 2) << paths;
        EXPECT_GE(agree, 0.99 * valid) << paths << " paths: " << agree << " of " << valid;
        EXPECT_GE(ourTruth, 0.99 * valid) << paths;
    }
}

}  // namespace
