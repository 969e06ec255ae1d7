// Every device stage against the host reference, bit for bit, over the
// disparity sizes, both census kinds, 4 and 8 paths and odd image sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device_test_support.h"
#include "launchers.h"
#include "sgm/host_reference.h"

namespace {

using sgm::DeviceImage;
using sgm::ImageType;
using sgmtest::download;
using sgmtest::upload;

template <class T>
void expectCensusExact(ImageType type, int width, int height, int pitch, int scale) {
    std::vector<T> left, right;
    sgmtest::texturedPair<T>(pitch, height, 5, 7, left, right, scale);
    const DeviceImage src = upload(left, height, width, type, pitch);
    DeviceImage census, symmetric;
    sgm::censusTransform(src, census, sgm::CensusType::Census);
    sgm::censusTransform(src, symmetric, sgm::CensusType::SymmetricCensus);
    EXPECT_EQ(census.type, ImageType::U64);
    EXPECT_EQ(symmetric.type, ImageType::U32);
    EXPECT_EQ(download<uint64_t>(census), sgm::ref::census(left.data(), width, height, pitch));
    EXPECT_EQ(download<uint32_t>(symmetric), sgm::ref::symmetricCensus(left.data(), width, height, pitch));
}

class GpuStageExactTest : public sgmtest::DeviceTest {};

TEST_F(GpuStageExactTest, CensusOfEverySourceType) {
    for (auto [w, h] : {std::pair{131, 37}, std::pair{7, 5}, std::pair{250, 130}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        expectCensusExact<uint8_t>(ImageType::U8, w, h, w, 1);
        expectCensusExact<uint16_t>(ImageType::U16, w, h, w + 3, 200);
        expectCensusExact<uint32_t>(ImageType::U32, w, h, w, 70000);
    }
}

struct Config {
    int width, height, D, paths;
    bool symmetric;
    int minDisparity;
};

std::string describe(const Config& c) {
    return std::to_string(c.width) + "x" + std::to_string(c.height) + " D" + std::to_string(c.D) + " paths " +
           std::to_string(c.paths) + (c.symmetric ? " symmetric" : " census") + " min " +
           std::to_string(c.minDisparity);
}

std::vector<Config> configs() {
    std::vector<Config> out;
    for (int D : {64, 128, 256})
        for (int paths : {4, 8})
            for (bool symmetric : {true, false}) out.push_back({D + 37, 45, D, paths, symmetric, 0});
    // Narrower than the disparity range, shifted ranges, tall and thin.
    out.push_back({51, 33, 128, 8, true, 0});
    out.push_back({97, 29, 64, 8, false, 3});
    out.push_back({97, 29, 64, 4, true, -2});
    out.push_back({9, 71, 256, 8, true, 0});
    return out;
}

template <class C>
void expectPipelineStagesExact(const Config& c, const std::vector<uint8_t>& left, const std::vector<uint8_t>& right,
                               const std::vector<C>& refCensusLeft, const std::vector<C>& refCensusRight) {
    const int w = c.width, h = c.height;
    const DeviceImage srcLeft = upload(left, h, w, ImageType::U8);
    const DeviceImage srcRight = upload(right, h, w, ImageType::U8);
    const auto censusType = c.symmetric ? sgm::CensusType::SymmetricCensus : sgm::CensusType::Census;
    DeviceImage censusLeft, censusRight, costs;
    sgm::censusTransform(srcLeft, censusLeft, censusType);
    sgm::censusTransform(srcRight, censusRight, censusType);
    ASSERT_EQ(download<C>(censusLeft), refCensusLeft);
    ASSERT_EQ(download<C>(censusRight), refCensusRight);

    const auto pathType = c.paths == 4 ? sgm::PathType::FourPaths : sgm::PathType::EightPaths;
    sgm::costAggregation(censusLeft, censusRight, costs, c.D, 10, 120, pathType, c.minDisparity);
    const auto refCosts = sgm::ref::aggregateCosts(refCensusLeft.data(), refCensusRight.data(), w, h, c.D, 10, 120,
                                                   c.paths, c.minDisparity);
    const auto gotCosts = download<uint8_t>(costs);
    ASSERT_EQ(gotCosts.size(), refCosts.size());
    const size_t plane = static_cast<size_t>(w) * h * c.D;
    for (int p = 0; p < c.paths; ++p)
        ASSERT_TRUE(std::equal(refCosts.begin() + p * plane, refCosts.begin() + (p + 1) * plane,
                               gotCosts.begin() + p * plane))
            << "path plane " << p;

    for (bool subpixel : {true, false}) {
        SCOPED_TRACE(subpixel ? "subpixel" : "integer");
        DeviceImage dl, dr, result, filteredRight;
        dl.create(h, w, ImageType::U16);
        dr.create(h, w, ImageType::U16);
        sgm::winnerTakesAll(costs, dl, dr, c.D, 0.95f, subpixel, pathType);
        std::vector<uint16_t> refLeft(w * h), refRight(w * h);
        sgm::ref::winnerTakesAll(refCosts.data(), w, h, w, c.D, c.paths, 0.95f, subpixel, refLeft.data(),
                                 refRight.data());
        ASSERT_EQ(download<uint16_t>(dl), refLeft);
        ASSERT_EQ(download<uint16_t>(dr), refRight);

        sgm::medianFilter(dl, result);
        sgm::medianFilter(dr, filteredRight);
        std::vector<uint16_t> refResult(w * h), refFiltered(w * h);
        sgm::ref::median3x3(refLeft.data(), refResult.data(), w, h, w);
        sgm::ref::median3x3(refRight.data(), refFiltered.data(), w, h, w);
        ASSERT_EQ(download<uint16_t>(result), refResult);
        ASSERT_EQ(download<uint16_t>(filteredRight), refFiltered);

        sgm::checkConsistency(result, filteredRight, srcLeft, subpixel, 1);
        sgm::ref::checkConsistency(refResult.data(), refFiltered.data(), left.data(), w, h, w, w, subpixel, 1);
        ASSERT_EQ(download<uint16_t>(result), refResult);

        const int scale = subpixel ? 16 : 1;
        sgm::correctDisparityRange(result, subpixel, c.minDisparity);
        if (subpixel || c.minDisparity != 0)
            sgm::ref::correctDisparityRange(refResult.data(), w, h, w, c.minDisparity * scale,
                                            (c.minDisparity - 1) * scale);
        ASSERT_EQ(download<uint16_t>(result), refResult);

        DeviceImage narrow;
        sgm::cast16To8(result, narrow);
        std::vector<uint8_t> refNarrow(w * h);
        sgm::ref::cast16To8(refResult.data(), refNarrow.data(), refNarrow.size());
        ASSERT_EQ(download<uint8_t>(narrow), refNarrow);
    }
}

TEST_F(GpuStageExactTest, EveryStageOverTheConfigurations) {
    for (const Config& c : configs()) {
        SCOPED_TRACE(describe(c));
        std::vector<uint8_t> left, right;
        sgmtest::texturedPair<uint8_t>(c.width, c.height, 17, 3, left, right);
        if (c.symmetric)
            expectPipelineStagesExact(c, left, right,
                                      sgm::ref::symmetricCensus(left.data(), c.width, c.height, c.width),
                                      sgm::ref::symmetricCensus(right.data(), c.width, c.height, c.width));
        else
            expectPipelineStagesExact(c, left, right, sgm::ref::census(left.data(), c.width, c.height, c.width),
                                      sgm::ref::census(right.data(), c.width, c.height, c.width));
        if (HasFatalFailure()) return;
    }
}

TEST_F(GpuStageExactTest, MedianVariantsAgree) {
    std::mt19937 rng(9);
    for (auto [w, h, step] : {std::tuple{33, 17, 33}, std::tuple{33, 17, 36}, std::tuple{64, 9, 64},
                              std::tuple{3, 3, 3}, std::tuple{2, 5, 2}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " step " + std::to_string(step));
        std::vector<uint16_t> wide(static_cast<size_t>(step) * h);
        std::vector<uint8_t> narrow(static_cast<size_t>(step) * h);
        for (auto& v : wide) v = static_cast<uint16_t>(rng());
        for (auto& v : narrow) v = static_cast<uint8_t>(rng());
        DeviceImage wideOut, narrowOut;
        sgm::medianFilter(upload(wide, h, w, ImageType::U16, step), wideOut);
        sgm::medianFilter(upload(narrow, h, w, ImageType::U8, step), narrowOut);
        std::vector<uint16_t> refWide(wide.size());
        std::vector<uint8_t> refNarrow(narrow.size());
        sgm::ref::median3x3(wide.data(), refWide.data(), w, h, step);
        sgm::ref::median3x3(narrow.data(), refNarrow.data(), w, h, step);
        const auto gotWide = download<uint16_t>(wideOut);
        const auto gotNarrow = download<uint8_t>(narrowOut);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(gotWide[y * step + x], refWide[y * step + x]) << x << "," << y;
                ASSERT_EQ(gotNarrow[y * step + x], refNarrow[y * step + x]) << x << "," << y;
            }
    }
}

TEST_F(GpuStageExactTest, LauncherArgumentChecks) {
    DeviceImage a, b, costs;
    a.create(8, 16, ImageType::U32);
    b.create(8, 16, ImageType::U64);
    try {
        sgm::costAggregation(a, b, costs, 64, 10, 120, sgm::PathType::FourPaths, 0);
        ADD_FAILURE() << "mixed census types accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "left and right image type must be same.");
    }
    DeviceImage d16, d8, src;
    d16.create(8, 16, ImageType::U16);
    d8.create(8, 16, ImageType::U8);
    src.create(8, 16, ImageType::U8);
    EXPECT_THROW(sgm::checkConsistency(d16, d8, src, true, 1), std::logic_error);
}

}  // namespace
