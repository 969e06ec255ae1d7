// Per-frame work: settling origin and zoom, the refusals, the ready-raster
// path and the gridding of elevation.

#include "node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/grid_elevation.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager_cached.h"

#include <gtest/gtest.h>

namespace {

using testsupport::CapturedLog;

// A frame in a local scene frame with keypoints of known depth.
class LocalFrame : public MapFrame {
public:
    LocalFrame(uint64_t id, std::shared_ptr<fw::CameraImpl> camera, double median, std::vector<pt::Point3d> cameraPoints)
        : MapFrame(id, double(id), fw::GImage(), "", camera, {}, 1), median_(median), points_(std::move(cameraPoints)),
          camera_(std::move(camera)) {}
    double getMedianDepth() override { return median_; }
    size_t keyPointCount() override { return points_.size(); }
    bool getKeyPointPosition(int idx, pt::Point2f& out) override {
        const pt::Point2d px = camera_->project(points_[idx]);
        out = pt::Point2f(static_cast<float>(px.x), static_cast<float>(px.y));
        return true;
    }
    bool getKeyPointInverseDepth(int idx, pt::Point2d& out) override {
        out = pt::Point2d(1.0 / points_[idx].z, -1.0);
        return true;
    }

private:
    double median_;
    std::vector<pt::Point3d> points_;
    std::shared_ptr<fw::CameraImpl> camera_;
};

nlohmann::json precomputed(const std::string& dir, nlohmann::json specific = nlohmann::json::object()) {
    nlohmann::json cfg = tftest::config(dir, std::move(specific));
    cfg["zoom_level"] = 20;
    cfg["fetch_gps"] = true;
    return cfg;
}

TEST(SettleZoom, FailedGpsReadIsRetriedOnTheNextFrame) {
    testsupport::TempDir dir("tf-frame");
    synthetic::BoxScene scene;
    TerrainFusion node(precomputed(dir.path(), {{"terrainfusion.render_mode", 0}}).dump(), nullptr);
    CapturedLog log;
    auto noGps = std::make_shared<MapFrame>(1, 1.0, fw::GImage(), dir.file("a.png"), scene.camera(),
                                            std::vector<double>{}, 1);
    noGps->setPose(scene.pose(0, 0));
    cv::imwrite(dir.file("a.png"), scene.render(0, 0));
    EXPECT_FALSE(node.processPointCloud(noGps, scene.points(0, 0, 8)));
    EXPECT_TRUE(log.contains("Failed updateAlt.", fw::kError));
    EXPECT_FALSE(node.zoomSettled());
    // The next frame has GPS: settled, gridded (render mode 0 writes no tile).
    auto frame = scene.frame(2, 0.0, 0.0, dir.file("b.png"));
    EXPECT_TRUE(node.processPointCloud(frame, scene.points(0, 0, 8)));
    EXPECT_TRUE(node.zoomSettled());
    EXPECT_EQ(node.zoomLevel(), 20);
    auto cached = std::dynamic_pointer_cast<TileManagerCachedGDAL>(node.tileManager());
    EXPECT_EQ(cached->size(), 0u);
}

TEST(SettleZoom, ComputedFromKeypointsOfAnEarthCentredFrame) {
    testsupport::TempDir dir("tf-frame");
    synthetic::BoxScene scene;
    TerrainFusion node(tftest::config(dir.path()).dump(), nullptr);
    CapturedLog log;
    // Keypoints on the ground 100 m below the camera.
    std::vector<pt::Point3d> cameraPoints;
    for (int i = 0; i < 40; ++i) cameraPoints.push_back({(i % 8 - 4) * 5.0, (i / 8 - 2) * 5.0, 100.0});
    auto frame = std::make_shared<LocalFrame>(1, scene.camera(), 100.0, cameraPoints);
    frame->gps = {10.0, 50.0, 100.0, 0.1, 0.1, 0.1};
    frame->setPose(scene.pose(0, 0));
    ASSERT_TRUE(node.identifyZoom(frame, true));
    fw::MercatorProjection mercator;
    EXPECT_EQ(node.zoomLevel(), mercator.zoomForResolution(100.0 / 800.0, 50.0));
    EXPECT_TRUE(log.contains("Terrainfusion Height Offset: -100, cluster size: 40"));
    EXPECT_TRUE(log.contains("Terrainfusion Zoom Level: "));
    EXPECT_NEAR(node.geoReference().heightOffset, -100.0f, 1e-3);
}

TEST(SettleZoom, LocalSceneFrames) {
    testsupport::TempDir dir("tf-frame");
    synthetic::BoxScene scene;
    TerrainFusion node(
        tftest::config(dir.path(), {{"terrainfusion.fake_origin", "10.0 50.0 0.0"}, {"terrainfusion.fake_height", 150.0}})
            .dump(),
        nullptr);
    CapturedLog log;
    // Nine keypoints: no plane fit, the camera frame is the ground frame.
    std::vector<pt::Point3d> nine;
    for (int i = 0; i < 9; ++i) nine.push_back({i * 0.1, 0.2, 2.0});
    auto frame = std::make_shared<LocalFrame>(1, scene.camera(), 2.0, nine);
    frame->setPose(fw::SE3(fw::SO3(), {1.0, 2.0, 3.0}));
    ASSERT_TRUE(node.identifyZoomWithoutGPS(frame, true));
    fw::MercatorProjection mercator;
    EXPECT_EQ(node.zoomLevel(), mercator.zoomForResolution(150.0 / 800.0, 50.0));
    EXPECT_TRUE(log.contains("Zoom Level:"));
    const auto geo = node.geoReference();
    EXPECT_DOUBLE_EQ(geo.sceneToEcef.scale, 75.0);
    // The camera's axis points down, one scene unit giving 75 m.
    const pt::Point3d centre = geo.ecefToEnu * (geo.sceneToEcef * pt::Point3d{1.0, 2.0, 3.0});
    const pt::Point3d ahead = geo.ecefToEnu * (geo.sceneToEcef * pt::Point3d{1.0, 2.0, 4.0});
    EXPECT_NEAR(ahead.x - centre.x, 0.0, 1e-6);
    EXPECT_NEAR(ahead.y - centre.y, 0.0, 1e-6);
    EXPECT_NEAR(ahead.z - centre.z, -75.0, 1e-6);

    // A median depth of 0 is refused: no infinite scale.
    auto flat = std::make_shared<LocalFrame>(2, scene.camera(), 0.0, nine);
    EXPECT_FALSE(node.identifyZoomWithoutGPS(flat, true));
    // A camera without a focal length is refused before anything else.
    auto ideal = std::make_shared<LocalFrame>(3, std::make_shared<fw::CameraIdeal>(640, 480), 2.0, nine);
    EXPECT_FALSE(node.processPointCloud(ideal, {{1, 2, 3}}));
    EXPECT_TRUE(log.contains("has no camera with a focal length", fw::kError));
}

TEST(ReadyRasters, PlacedAtTheNodeZoomAndStitched) {
    testsupport::TempDir dir("tf-frame");
    nlohmann::json cfg = tftest::config(dir.path(), {{"terrainfusion.render_mode", 2}, {"terrainfusion.render_zooms", 2}});
    TerrainFusion node(cfg.dump(), nullptr);
    CapturedLog log;
    auto frame = std::make_shared<MapFrame>(1, 1.0, fw::GImage(), "", nullptr, std::vector<double>{}, 1);
    cv::Mat dsm(32, 32, CV_32F, cv::Scalar(12.5f)), dom(100, 100, CV_8UC3, cv::Scalar(10, 20, 30)),
        weight(100, 100, CV_8U, cv::Scalar(200));
    dv::Var message(std::vector<dv::Var>{dv::Var(3), dv::Var("7_5"), dv::Var(10), dv::Var(8),
                                         dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)), dv::Var(dsm),
                                         dv::Var(dom), dv::Var(weight)});
    node.call("point_cloud_with_dsmdom", &message);
    EXPECT_TRUE(log.contains("Zoom Level:18"));
    EXPECT_EQ(node.zoomLevel(), 18);
    auto tile = std::dynamic_pointer_cast<TerrainFusionMultiTile>(node.tileManager()->GetTile(7, 5, 18));
    ASSERT_TRUE(tile);
    EXPECT_EQ(static_cast<cv::Mat>(tile->image).at<cv::Vec3b>(100, 100), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(static_cast<cv::Mat>(tile->elevation).at<float>(3, 3), 12.5f);
    EXPECT_TRUE(log.contains("TerrainFusion process ind: 3, AdaptiveRemoveTileCache process done, ready to return"));

    TerrainFusion::LocalDSMData record;
    EXPECT_FALSE(node.prepareReadyRasters(42, 1, 1, 18, frame, record, cv::Mat(), dom, weight));
    EXPECT_TRUE(log.contains("Invalid DSM/DOM was passed in - Tile ID: 42", fw::kError));
}

// Gridding: highest point per cell, closing of small gaps, hole filling.
TEST(GridElevation, HighestPointClosingAndHoles) {
    const double gsd = 1.0;
    dv::Var params = dv::Var::object();
    params["gsd"] = gsd;
    params["gsd_lat"] = gsd;
    params["search_radius"] = 100;
    // A 20 x 20 grid with origin (0, 20): data everywhere in columns and rows
    // 3..16 except a one-cell gap at (6, 6) and a 5 x 5 hole at 9..13.
    std::vector<cv::Vec3f> cloud;
    for (int r = 3; r <= 16; ++r) {
        for (int c = 3; c <= 16; ++c) {
            if (r == 6 && c == 6) continue;
            if (r >= 9 && r <= 13 && c >= 9 && c <= 13) continue;
            cloud.emplace_back(c + 0.5f, 20.0f - r - 0.5f, 2.0f);
        }
    }
    cloud.emplace_back(4.5f, 20.0f - 4.5f, 7.0f);  // a second, higher point in cell (4, 4)
    cv::Mat points(static_cast<int>(cloud.size()), 1, CV_32FC3, cloud.data());
    const std::vector<fw::GImage> grids = gridElevation(fw::GImage(points), 0.0, 20.0, 30, 30, params);
    const cv::Mat elevation = grids[0], weight = grids[1];
    EXPECT_EQ(elevation.at<float>(4, 4), 7.0f);
    EXPECT_EQ(elevation.at<float>(6, 6), 2.0f);   // closed
    EXPECT_EQ(weight.at<float>(6, 6), 1.0f);
    EXPECT_NEAR(elevation.at<float>(11, 11), 2.0f, 1e-5);  // filled from the edge inward
    EXPECT_LT(weight.at<float>(11, 11), 1.0f);
    EXPECT_FLOAT_EQ(elevation.at<float>(1, 1), 2.0f);      // the fringe two cells along the data is filled
    EXPECT_LT(elevation.at<float>(1, 25), kEmptyBelow);    // the rest of the outside stays empty
    EXPECT_LT(elevation.at<float>(25, 25), kEmptyBelow);
}

TEST(GridElevation, FillHolesGaussianReadsTheGridBeforeThePass) {
    cv::Mat elevation(3, 3, CV_32F, cv::Scalar(kNoElevation));
    cv::Mat weight(3, 3, CV_32F, cv::Scalar(1.0f));
    elevation.at<float>(0, 0) = 4.0f;
    fillHolesGaussian(elevation, weight, 3, 5.0f, {{1, 1}, {2, 2}});
    EXPECT_FLOAT_EQ(elevation.at<float>(1, 1), 4.0f);
    EXPECT_LT(elevation.at<float>(2, 2), kEmptyBelow);  // its only data neighbour was filled in this pass
    EXPECT_FLOAT_EQ(weight.at<float>(1, 1), 0.5f);
    EXPECT_FLOAT_EQ(weight.at<float>(2, 2), 0.5f);
}

}  // namespace
