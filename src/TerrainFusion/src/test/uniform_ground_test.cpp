// One flat grey ground seen by strips of frames (exact poses, lossless
// frames): wherever a tile of any zoom has colour, it is the ground's grey,
// in both render modes, whatever the strip's length and wherever it ends.

#include "node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/ground_plane.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int kZoom = 20;
constexpr int kZooms = 6;
const cv::Vec3b kGround(90, 90, 90);

// Web-mercator tile column of a longitude, and the longitude of a column's west edge.
double tileColumn(double lon) { return (lon + 180.0) / 360.0 * std::ldexp(1.0, kZoom); }
double columnLongitude(double column) { return column / std::ldexp(1.0, kZoom) * 360.0 - 180.0; }

struct StripCase {
    const char* name;
    int frames;
    double step;     // metres east between frames
    bool endAtEdge;  // the last footprint's east edge 5 cm west of a tile column's edge
};

TEST(UniformGround, EveryCoveredPixelOfEveryZoomIsTheGround) {
    const StripCase cases[] = {
        {"one frame", 1, 0.0, false},
        {"two frames", 2, 20.0, false},
        {"five frames", 5, 20.0, false},
        {"strip ending inside a tile", 4, 25.0, false},
        {"strip ending at a tile edge", 4, 25.0, true},
    };
    const double lat = 22.5, lon = 113.9;
    for (int mode : {2, 3}) {
        for (const StripCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", render mode " + std::to_string(mode));
            testsupport::TempDir dir("tf-uniform");
            synthetic::BoxScene scene = synthetic::BoxScene::at(lat, lon);
            scene.paint = [](double, double) { return kGround; };
            const double halfWidth = scene.altitude * (scene.width / 2.0) / scene.focal;
            // The last footprint's east edge: in the middle of a tile, or at
            // a tile column's west edge.
            const double column = std::floor(tileColumn(lon)) + 3.0;
            const double edgeEast = scene.local(lat, columnLongitude(column)).x;
            const double lastEast = c.endAtEdge ? edgeEast - 0.05 - halfWidth : edgeEast - 17.0 - halfWidth;

            nlohmann::json cfg = tftest::config(
                dir.path(), {{"terrainfusion.render_mode", mode}, {"terrainfusion.render_zooms", kZooms},
                             {"terrainfusion.cache_size", 100000}});
            cfg["zoom_level"] = kZoom;
            cfg["fetch_gps"] = true;
            TerrainFusion node(cfg.dump(), nullptr);
            ASSERT_TRUE(node.setUpOk());
            int64_t xMin = INT64_MAX, yMin = INT64_MAX, xMax = INT64_MIN, yMax = INT64_MIN;
            for (int i = 0; i < c.frames; ++i) {
                const double e = lastEast - (c.frames - 1 - i) * c.step, n = 7.0 * (i % 2);
                auto frame = scene.frame(static_cast<uint64_t>(i + 1), e, n, dir.file("f" + std::to_string(i) + ".png"));
                ASSERT_TRUE(node.processPointCloud(frame, scene.points(e, n, 4)));
                for (double de : {-halfWidth, halfWidth})
                    for (double dn : {-40.0, 40.0}) {
                        const pt::Point3d g = [&] {
                            const pt::Point3d ecef = scene.toEcef({e + de, n + dn, 0.0});
                            return ecefToGeodetic(ecef.x, ecef.y, ecef.z);
                        }();
                        const fw::Point2l t = node.projection()->latLonToTile(g.x, g.y, kZoom);
                        xMin = std::min<int64_t>(xMin, t.x);
                        xMax = std::max<int64_t>(xMax, t.x);
                        yMin = std::min<int64_t>(yMin, t.y);
                        yMax = std::max<int64_t>(yMax, t.y);
                    }
            }
            if (c.endAtEdge) {
                // The strip's rectangle ends at that column: no tile east of it.
                EXPECT_FALSE(node.tileManager()->GetTile(static_cast<int>(column), static_cast<int>(yMin), kZoom));
            }
            size_t covered = 0, off = 0;
            int worst = 0;
            for (int k = 0; k < kZooms; ++k) {
                for (int64_t y = yMin >> k; y <= yMax >> k; ++y) {
                    for (int64_t x = xMin >> k; x <= xMax >> k; ++x) {
                        auto tile = std::dynamic_pointer_cast<TerrainFusionMultiTile>(
                            node.tileManager()->GetTile(static_cast<int>(x), static_cast<int>(y), kZoom - k));
                        if (!tile) continue;
                        const cv::Mat image = tile->image, weight = tile->weight;
                        for (int r = 0; r < 256; ++r)
                            for (int q = 0; q < 256; ++q) {
                                if (weight.at<uint8_t>(r, q) == 0) continue;
                                ++covered;
                                const cv::Vec3b v = image.at<cv::Vec3b>(r, q);
                                int d = 0;
                                for (int ch = 0; ch < 3; ++ch) d = std::max(d, std::abs(v[ch] - kGround[ch]));
                                worst = std::max(worst, d);
                                if (d > 1) ++off;
                            }
                    }
                }
            }
            std::printf("%s, mode %d: %zu covered pixels over %d zooms, %zu more than 1 level off, worst %d\n",
                        c.name, mode, covered, kZooms, off, worst);
            EXPECT_GT(covered, 100000u);
            EXPECT_EQ(off, 0u);
        }
    }
}

}  // namespace
