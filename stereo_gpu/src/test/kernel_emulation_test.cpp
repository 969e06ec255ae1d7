// The matcher's kernel sources run on the CPU (test/cuda_emulation.h) with the
// launch shapes of the host launchers, against the host reference, bit for
// bit. This checks indexing, the work split and the warp exchanges of every
// kernel on machines without a GPU; the device tests repeat it on hardware.
#include "cuda_emulation.h"

#include "census_transform.cuh"
#include "check_consistency.cuh"
#include "correct_disparity_range.cuh"
#include "cost_aggregation.cuh"
#include "cuda_utils.cuh"
#include "median_filter.cuh"
#include "winner_takes_all.cuh"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sgm/host_reference.h"

namespace {

using namespace sgm::kernels;

template <class T>
std::vector<T> texture(int width, int height, int pitch, unsigned seed, int scale = 1) {
    std::mt19937 rng(seed);
    std::vector<T> img(static_cast<size_t>(pitch) * height);
    for (auto& v : img) v = static_cast<T>((1 + rng() % 255) * scale);
    for (int i = 0; i < 3; ++i) img[rng() % img.size()] = 0;
    (void)width;
    return img;
}

// Pair where left x matches right x - shift.
void pair(int width, int height, int shift, unsigned seed, std::vector<uint8_t>& left, std::vector<uint8_t>& right) {
    const auto wide = texture<uint8_t>(width + shift, height, width + shift, seed);
    left.resize(static_cast<size_t>(width) * height);
    right.resize(left.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            left[y * width + x] = std::max<uint8_t>(1, wide[y * (width + shift) + x]);
            right[y * width + x] = wide[y * (width + shift) + x + shift];
        }
    left[width * (height / 2) + width / 2] = 0;
}

template <class T>
void expectCensus(int w, int h, int pitch, int scale) {
    const auto src = texture<T>(w, h, pitch, 4, scale);
    std::vector<uint64_t> census(static_cast<size_t>(w) * h, 0);
    std::vector<uint32_t> symmetric(static_cast<size_t>(w) * h, 0);
    const dim3 grid((w + 119) / 120, (h + 15) / 16), block(128, 1);
    cudaemu::launch(grid, block, [&] { census_transform_kernel<T>(census.data(), src.data(), w, h, pitch); });
    cudaemu::launch(grid, block, [&] { symmetric_census_kernel<T>(symmetric.data(), src.data(), w, h, pitch); });
    EXPECT_EQ(census, sgm::ref::census(src.data(), w, h, pitch));
    EXPECT_EQ(symmetric, sgm::ref::symmetricCensus(src.data(), w, h, pitch));
}

TEST(SgmKernelEmulationTest, Census) {
    expectCensus<uint8_t>(131, 19, 131, 1);   // two tiles across, two down
    expectCensus<uint16_t>(9, 7, 12, 250);    // a single interior pixel
    expectCensus<uint32_t>(40, 17, 41, 90000);
}

template <class C, int D>
void expectAggregation(int w, int h, int minDisparity) {
    std::vector<uint8_t> left8, right8;
    pair(w, h, 3, 9, left8, right8);
    std::vector<C> left, right;
    if constexpr (sizeof(C) == 8) {
        left = sgm::ref::census(left8.data(), w, h, w);
        right = sgm::ref::census(right8.data(), w, h, w);
    } else {
        left = sgm::ref::symmetricCensus(left8.data(), w, h, w);
        right = sgm::ref::symmetricCensus(right8.data(), w, h, w);
    }
    const size_t plane = static_cast<size_t>(w) * h * D;
    std::vector<uint8_t> costs(8 * plane, 0xAB);
    const unsigned P1 = 10, P2 = 120;
    const int vb = 4096 / D, hb = 1024 / D;
    auto run = [&](int p, dim3 grid, dim3 block, auto kernel) {
        uint8_t* dst = costs.data() + p * plane;
        cudaemu::launch(grid, block, [&] { kernel(dst, left.data(), right.data(), w, h, P1, P2, minDisparity); });
    };
    run(0, dim3((w + vb - 1) / vb), dim3(256), aggregate_vertical_path_kernel<C, 1, D>);
    run(1, dim3((w + vb - 1) / vb), dim3(256), aggregate_vertical_path_kernel<C, -1, D>);
    run(2, dim3((h + hb - 1) / hb), dim3(128), aggregate_horizontal_path_kernel<C, 1, D>);
    run(3, dim3((h + hb - 1) / hb), dim3(128), aggregate_horizontal_path_kernel<C, -1, D>);
    const dim3 og((w + h - 1 + vb - 1) / vb);
    run(4, og, dim3(256), aggregate_oblique_path_kernel<C, 1, 1, D>);
    run(5, og, dim3(256), aggregate_oblique_path_kernel<C, -1, 1, D>);
    run(6, og, dim3(256), aggregate_oblique_path_kernel<C, -1, -1, D>);
    run(7, og, dim3(256), aggregate_oblique_path_kernel<C, 1, -1, D>);
    const auto expected =
        sgm::ref::aggregateCosts(left.data(), right.data(), w, h, D, P1, P2, 8, minDisparity);
    for (int p = 0; p < 8; ++p)
        EXPECT_TRUE(std::equal(costs.begin() + p * plane, costs.begin() + (p + 1) * plane,
                               expected.begin() + p * plane))
            << "plane " << p;
}

TEST(SgmKernelEmulationTest, AggregationOfEveryPath) {
    {
        SCOPED_TRACE("D 64");
        expectAggregation<uint32_t, 64>(66, 10, 0);  // two blocks of columns
    }
    {
        SCOPED_TRACE("D 128");
        expectAggregation<uint64_t, 128>(37, 9, 2);  // two blocks of rows and of columns
    }
    {
        SCOPED_TRACE("D 256");
        expectAggregation<uint32_t, 256>(19, 6, -3);
        expectAggregation<uint64_t, 256>(9, 5, 0);
    }
}

template <int D>
void expectWinnerTakesAll(int w, int h) {
    std::vector<uint8_t> left8, right8;
    pair(w, h, 6, 2, left8, right8);
    const auto lc = sgm::ref::symmetricCensus(left8.data(), w, h, w);
    const auto rc = sgm::ref::symmetricCensus(right8.data(), w, h, w);
    const auto costs = sgm::ref::aggregateCosts(lc.data(), rc.data(), w, h, D, 10, 120, 8, 0);
    const int pitch = w + 1;
    for (int paths : {4, 8})
        for (bool subpixel : {true, false}) {
            SCOPED_TRACE(std::to_string(paths) + (subpixel ? " subpixel" : " integer"));
            std::vector<uint16_t> left(pitch * h, 7), right(pitch * h, 7), refLeft(left), refRight(right);
            const dim3 grid((h + 7) / 8), block(256);
            cudaemu::launch(grid, block, [&] {
                if (paths == 8 && subpixel)
                    winner_takes_all_kernel<D, 8, compute_disparity_subpixel>(left.data(), right.data(), costs.data(), w, h, pitch, 0.95f);
                else if (paths == 4 && subpixel)
                    winner_takes_all_kernel<D, 4, compute_disparity_subpixel>(left.data(), right.data(), costs.data(), w, h, pitch, 0.95f);
                else if (paths == 8)
                    winner_takes_all_kernel<D, 8, compute_disparity_normal>(left.data(), right.data(), costs.data(), w, h, pitch, 0.95f);
                else
                    winner_takes_all_kernel<D, 4, compute_disparity_normal>(left.data(), right.data(), costs.data(), w, h, pitch, 0.95f);
            });
            sgm::ref::winnerTakesAll(costs.data(), w, h, pitch, D, paths, 0.95f, subpixel, refLeft.data(),
                                     refRight.data());
            EXPECT_EQ(left, refLeft);
            EXPECT_EQ(right, refRight);
        }
}

TEST(SgmKernelEmulationTest, WinnerTakesAll) {
    {
        SCOPED_TRACE("D 64");
        expectWinnerTakesAll<64>(75, 9);  // wider than D: right minima completed inside the row
    }
    {
        SCOPED_TRACE("D 128");
        expectWinnerTakesAll<128>(21, 3);
    }
    {
        SCOPED_TRACE("D 256");
        expectWinnerTakesAll<256>(14, 2);
    }
}

TEST(SgmKernelEmulationTest, MedianConsistencyRangeAndCast) {
    std::mt19937 rng(12);
    const int w = 37, h = 21;
    for (int pitch : {37, 40}) {
        SCOPED_TRACE(pitch);
        std::vector<uint16_t> wide(pitch * h);
        std::vector<uint8_t> narrow(pitch * h);
        for (auto& v : wide) v = static_cast<uint16_t>(rng() % 900);
        for (auto& v : narrow) v = static_cast<uint8_t>(rng());
        std::vector<uint16_t> refWide(wide.size()), w1(wide.size()), w2(wide.size());
        std::vector<uint8_t> refNarrow(narrow.size()), n1(narrow.size()), n4(narrow.size());
        sgm::ref::median3x3(wide.data(), refWide.data(), w, h, pitch);
        sgm::ref::median3x3(narrow.data(), refNarrow.data(), w, h, pitch);
        const dim3 block(16, 16), grid((w + 15) / 16, (h + 15) / 16);
        cudaemu::launch(grid, block, [&] { median_kernel_3x3_16u(wide.data(), w1.data(), w, h, pitch); });
        cudaemu::launch(dim3((((w + 1) / 2) + 15) / 16, (h + 15) / 16), block,
                        [&] { median_kernel_3x3_16u_v2(wide.data(), w2.data(), w, h, pitch); });
        cudaemu::launch(grid, block, [&] { median_kernel_3x3_8u(narrow.data(), n1.data(), w, h, pitch); });
        cudaemu::launch(dim3((((w + 3) / 4) + 15) / 16, (h + 15) / 16), block,
                        [&] { median_kernel_3x3_8u_v4(narrow.data(), n4.data(), w, h, pitch); });
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int i = y * pitch + x;
                ASSERT_EQ(w1[i], refWide[i]) << x << "," << y;
                ASSERT_EQ(w2[i], refWide[i]) << x << "," << y;
                ASSERT_EQ(n1[i], refNarrow[i]) << x << "," << y;
                ASSERT_EQ(n4[i], refNarrow[i]) << x << "," << y;
            }

        // Left-right check of the filtered image against a noisy right view.
        std::vector<uint16_t> right(pitch * h);
        for (auto& v : right) v = static_cast<uint16_t>(rng() % 60);
        for (int i = 0; i < 40; ++i) w1[rng() % w1.size()] = 0xFFFF;
        std::vector<uint16_t> refLeft = w1;
        for (bool subpixel : {true, false}) {
            std::vector<uint16_t> got = w1, expected = refLeft;
            cudaemu::launch(grid, block, [&] {
                check_consistency_kernel<uint8_t>(got.data(), right.data(), narrow.data(), w, h, pitch, pitch, subpixel, 1);
            });
            sgm::ref::checkConsistency(expected.data(), right.data(), narrow.data(), w, h, pitch, pitch, subpixel, 1);
            ASSERT_EQ(got, expected);
            cudaemu::launch(grid, block, [&] { correct_disparity_range_kernel(got.data(), w, h, pitch, 48, 32); });
            sgm::ref::correctDisparityRange(expected.data(), w, h, pitch, 48, 32);
            ASSERT_EQ(got, expected);
            std::vector<uint8_t> low(got.size()), refLow(got.size());
            const int count = static_cast<int>(got.size());
            cudaemu::launch(dim3((count + 1023) / 1024), dim3(1024),
                            [&] { cast_16bit_8bit_array_kernel(got.data(), low.data(), count); });
            sgm::ref::cast16To8(got.data(), refLow.data(), got.size());
            ASSERT_EQ(low, refLow);
        }
    }
}

}  // namespace
