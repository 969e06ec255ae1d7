#pragma once
// Tiles and helpers for the store and cache tests: fused tiles of the shapes
// terrain fusion uses (256 x 256 orthophoto-like BGR image and 8-bit weight,
// 64 x 64 float elevation) and an in-memory store that counts its calls and
// can fail writes.

#include "png_tile_images.h"
#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace tiletest {

// BGR orthophoto-like pixels of seed.
inline cv::Mat orthoImage(uint32_t seed, int side = 256) {
    const std::vector<uint8_t> rgb = pngtest::orthoTile(uint32_t(side), uint32_t(side), 3, seed);
    cv::Mat bgr(side, side, CV_8UC3);
    for (int i = 0; i < side * side; ++i) {
        bgr.data[3 * i + 0] = rgb[3 * i + 2];
        bgr.data[3 * i + 1] = rgb[3 * i + 1];
        bgr.data[3 * i + 2] = rgb[3 * i + 0];
    }
    return bgr;
}

// A fused tile at key with weight 200 everywhere except the left quarter
// (weight 0), elevation 100 + seed + cell index / 64.
inline std::shared_ptr<TerrainFusionMultiTile> makeTile(const TileKey& key, uint32_t seed, double timestamp = 1.0) {
    cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(200));
    weight(cv::Rect(0, 0, 64, 256)).setTo(0);
    cv::Mat elevation(64, 64, CV_32FC1);
    for (int r = 0; r < 64; ++r)
        for (int c = 0; c < 64; ++c) elevation.at<float>(r, c) = float(100 + seed + (r * 64 + c) / 64.0);
    auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(orthoImage(seed)), fw::GImage(elevation), key,
                                                         timestamp, fw::GImage(weight), fw::GImage(), 0);
    // Two pyramid levels, as blending leaves them.
    tile->imagePyramid = {fw::GImage(cv::Mat(256, 256, CV_16SC3, cv::Scalar(int(seed % 100), 2, 3))),
                          fw::GImage(cv::Mat(128, 128, CV_16SC3, cv::Scalar(4, 5, 6)))};
    tile->weightPyramid = {fw::GImage(weight.clone()), fw::GImage(cv::Mat(128, 128, CV_8UC1, cv::Scalar(7)))};
    return tile;
}

// A small tile for the cache tests: one value in its image, modified set.
inline std::shared_ptr<TerrainFusionMultiTile> smallTile(const TileKey& key, int value) {
    auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(value))),
                                                         fw::GImage(), key, double(value), fw::GImage(),
                                                         fw::GImage(), 0);
    tile->setModified(true);
    return tile;
}

inline int valueOf(const std::shared_ptr<fw::TileBase>& tile) {
    auto* t = dynamic_cast<fw::ImageTile*>(tile.get());
    return t && t->image.data ? t->image.data[0] : -1;
}

inline bool sameMat(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    return a.empty() || cv::norm(a, b, cv::NORM_INF) == 0;
}

// Tiles kept by value (their image's first byte and their time stamp) in
// memory. Counts reads and writes per key; writes can be made to fail.
class MemoryStore : public fw::TileManager {
public:
    std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++reads[{x, y, z}];
        auto it = values.find({x, y, z});
        if (it == values.end()) return nullptr;
        return smallTileUnmodified(TileKey{x, y, z}, it->second);
    }
    bool SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++writes[{x, y, z}];
        writeOrder.push_back(TileKey{x, y, z});
        if (failWrites > 0) {
            --failWrites;
            return false;
        }
        values[{x, y, z}] = valueOf(tile);
        return true;
    }
    int readsOf(int x, int y, int z) {
        std::lock_guard<std::mutex> lock(mutex);
        return reads[{x, y, z}];
    }
    int writesOf(int x, int y, int z) {
        std::lock_guard<std::mutex> lock(mutex);
        return writes[{x, y, z}];
    }
    // The stored value, -1 when the store has no tile there.
    int valueAt(int x, int y, int z) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = values.find({x, y, z});
        return it == values.end() ? -1 : it->second;
    }
    int totalWrites() {
        std::lock_guard<std::mutex> lock(mutex);
        return int(writeOrder.size());
    }

    static std::shared_ptr<fw::TileBase> smallTileUnmodified(const TileKey& key, int value) {
        auto tile = smallTile(key, value);
        tile->setModified(false);
        return tile;
    }

    std::mutex mutex;
    std::map<std::tuple<int, int, int>, int> values;
    std::map<std::tuple<int, int, int>, int> reads;
    std::map<std::tuple<int, int, int>, int> writes;
    std::vector<TileKey> writeOrder;
    int failWrites = 0;
};

}  // namespace tiletest
