#pragma once
// Frame records built by hand for the tile writers' tests.

#include "terrain/terrain_fusion.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tftest {

// A record over tiles (x0..x1, y0..y1) of one colour, weight and height.
inline TerrainFusion::LocalDSMData record(int64_t x0, int64_t y0, int64_t x1, int64_t y1, cv::Scalar colour,
                                          uint8_t weight, float height) {
    TerrainFusion::LocalDSMData d;
    d.xMin = x0;
    d.yMin = y0;
    d.xMax = x1;
    d.yMax = y1;
    d.tileWidth = d.tileHeight = 256;
    d.dsmTileWidth = d.dsmTileHeight = 64;
    d.width = static_cast<int32_t>((x1 - x0 + 1) * 256);
    d.height = static_cast<int32_t>((y1 - y0 + 1) * 256);
    d.dom = cv::Mat(d.height, d.width, CV_8UC3, colour);
    d.weight = cv::Mat(d.height, d.width, CV_8UC1, cv::Scalar(weight));
    d.dsm = cv::Mat(d.height / 4, d.width / 4, CV_32FC1, cv::Scalar(height));
    return d;
}

// A record with a texture (so that bands are not all zero).
inline TerrainFusion::LocalDSMData textured(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int seed, uint8_t weight) {
    TerrainFusion::LocalDSMData d = record(x0, y0, x1, y1, cv::Scalar::all(0), weight, 1.0f + seed);
    cv::RNG rng(static_cast<uint64_t>(seed) + 1);
    cv::Mat noise(d.height / 8, d.width / 8, CV_8UC3);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::resize(noise, d.dom, d.dom.size(), 0, 0, cv::INTER_LINEAR);
    return d;
}

}  // namespace tftest
