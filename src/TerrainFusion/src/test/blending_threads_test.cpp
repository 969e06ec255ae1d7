// Frames blended at once into overlapping tiles, with the eviction window
// running between them: no contribution is lost. The blend itself depends on
// the order, so the test compares what does not: each tile pixel's weight is
// the highest weight any frame had there, and each elevation cell holds the
// height of that frame.

#include "node_config.h"
#include "tile_writers.h"

#include "terrain/terrain_fusion.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

namespace {

constexpr int kZoom = 20;
constexpr int kFrames = 8;

double steadySeconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           1e9;
}

TEST(BlendingThreads, OverlappingFramesLoseNoContribution) {
    for (int storage : {1, 2}) {
        SCOPED_TRACE(storage);
        testsupport::TempDir dir("tf-blend-threads");
        nlohmann::json cfg = tftest::config(dir.path(),
                                            {{"terrainfusion.threads", 2}, {"terrainfusion.cache_size", 12},
                                             {"terrainfusion.render_zooms", 3}},
                                            storage);
        cfg["zoom_level"] = kZoom;
        cfg["fetch_gps"] = true;
        auto node = createTerrainFusionInstance(cfg.dump(), nullptr, nullptr, nullptr);
        ASSERT_TRUE(node->setUpOk());

        // Frame i: tiles (100 + i / 3 .. 101 + i / 3, 200 .. 201), a footprint
        // inside that rectangle with weight 40 + 25 i and height i + 1.
        std::vector<TerrainFusion::LocalDSMData> frames;
        for (int i = 0; i < kFrames; ++i) {
            auto d = tftest::textured(100 + i / 3, 200, 101 + i / 3, 201, i, 0);
            const cv::Rect footprint((i * 37) % 120, (i * 53) % 120, 380, 360);
            d.weight(footprint).setTo(static_cast<uint8_t>(40 + 25 * i));
            d.dsm.setTo(static_cast<float>(i + 1));
            frames.push_back(d);
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < kFrames; i += 4) {
                    EXPECT_TRUE(node->stitchMultiband(frames[i]));
                    node->AdaptiveRemoveTileCache(steadySeconds());
                }
            });
        }
        for (auto& thread : threads) thread.join();

        // Expected: per tile pixel, the highest weight and the frame that had it.
        for (int64_t y = 200; y <= 201; ++y) {
            for (int64_t x = 100; x <= 101 + (kFrames - 1) / 3; ++x) {
                cv::Mat best(256, 256, CV_8UC1, cv::Scalar(0));
                cv::Mat owner(256, 256, CV_32SC1, cv::Scalar(-1));
                for (int i = 0; i < kFrames; ++i) {
                    const auto& d = frames[i];
                    if (x < d.xMin || x > d.xMax) continue;
                    const cv::Mat w = d.weight(cv::Rect(int(x - d.xMin) * 256, int(y - d.yMin) * 256, 256, 256));
                    for (int r = 0; r < 256; ++r)
                        for (int c = 0; c < 256; ++c)
                            if (w.at<uint8_t>(r, c) > best.at<uint8_t>(r, c)) {
                                best.at<uint8_t>(r, c) = w.at<uint8_t>(r, c);
                                owner.at<int>(r, c) = i;
                            }
                }
                auto tile = std::dynamic_pointer_cast<TerrainFusionMultiTile>(
                    node->tileManager()->GetTile(static_cast<int>(x), static_cast<int>(y), kZoom));
                ASSERT_TRUE(tile) << x << "," << y;
                const cv::Mat weight = tile->weight, elevation = tile->elevation;
                EXPECT_EQ(cv::norm(weight, best, cv::NORM_INF), 0.0) << x << "," << y;
                int checked = 0;
                for (int r = 0; r < 64; ++r) {
                    for (int c = 0; c < 64; ++c) {
                        // Cells whose 4 x 4 pixels one frame won: their height is
                        // that frame's (a cell at a footprint's edge may come
                        // back from the store as -1e9 under the TIFF's rule).
                        const int i = owner.at<int>(4 * r, 4 * c);
                        if (i < 0) continue;
                        bool uniform = true;
                        for (int k = 0; k < 16 && uniform; ++k) uniform = owner.at<int>(4 * r + k / 4, 4 * c + k % 4) == i;
                        if (!uniform) continue;
                        EXPECT_EQ(elevation.at<float>(r, c), float(i + 1)) << x << "," << y << " " << r << "," << c;
                        ++checked;
                    }
                }
                EXPECT_GT(checked, 0);
            }
        }
    }
}

}  // namespace
