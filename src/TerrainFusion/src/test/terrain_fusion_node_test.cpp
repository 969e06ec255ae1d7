// The node: configuration, commands, zoom choice and the gridding of one
// frame of a synthetic scene.

#include "node_config.h"

#include "fw/map_projection.h"
#include "synthetic/box_scene.h"
#include "terrain/ground_plane.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager_cached.h"
#include "zel/node.h"
#include "zel/tileset.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using testsupport::CapturedLog;

struct ConfigCase {
    const char* name;
    nlohmann::json extra;  // merged into the configuration
    int zoom;              // expected zoom level (-1: not precomputed)
    const char* line;      // a line the constructor logs
};

TEST(TerrainFusionConfig, ZoomTable) {
    const std::vector<ConfigCase> cases = {
        {"scale 4", {{"zoom_level", 20}, {"fetch_gps", true}, {"dom", {{"scale", 4.0}}}}, 18,
         "[TERRAINFUSION] Using input tile zoom level:18"},
        {"capped", {{"zoom_level", 30}, {"fetch_gps", true}}, 26, "[TERRAINFUSION] Using input tile zoom level:26"},
        {"scale 3", {{"zoom_level", 20}, {"fetch_gps", false}, {"dom", {{"scale", 3.0}}}}, 18, "zoom level:18"},
        {"scale 0.5", {{"zoom_level", 20}, {"fetch_gps", true}, {"dom", {{"scale", 0.5}}}}, 21, "zoom level:21"},
        {"no fetch_gps", {{"zoom_level", 20}}, -1, "[TERRAINFUSION] wait to compute inner zoom level"},
        {"fetch_gps not boolean", {{"zoom_level", 20}, {"fetch_gps", 1}}, -1, "wait to compute inner zoom level"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir("tf-config");
        nlohmann::json cfg = tftest::config(dir.path());
        cfg.merge_patch(c.extra);
        CapturedLog log;
        TerrainFusion node(cfg.dump(), nullptr);
        ASSERT_TRUE(node.setUpOk());
        EXPECT_TRUE(log.contains(c.line)) << c.line;
        if (c.zoom >= 0) {
            EXPECT_EQ(node.zoomLevel(), c.zoom);
            EXPECT_EQ(node.tileManager()->getTileArea().z, c.zoom);
        }
        EXPECT_TRUE(log.contains("[TERRAINFUSION] init done"));
    }
}

TEST(TerrainFusionConfig, FoldersStorageAndProjection) {
    testsupport::TempDir dir("tf-config");
    {
        nlohmann::json cfg = tftest::config(dir.path());
        cfg["dom"] = nlohmann::json::object();
        cfg["specific"] = {{"terrainfusion.coordinate", "gcj"}};
        TerrainFusion node(cfg.dump(), nullptr);
        ASSERT_TRUE(node.setUpOk());
        EXPECT_EQ(node.storageKind(), 1);
        EXPECT_EQ(node.domFolder(), (fs::path(dir.path()) / "dom").string());
        EXPECT_EQ(node.dsmFolder(), (fs::path(dir.path()) / "dsm").string());
        EXPECT_EQ(node.projection()->projectionType(), fw::MercatorProjection().projectionType());
        EXPECT_EQ(node.type(), "TerrainFusion");
        EXPECT_TRUE(node.valid());
    }
    {
        testsupport::TempDir other("tf-config");
        nlohmann::json cfg = tftest::config(other.path(), {{"terrainfusion.coordinate", "GCJ"}});
        TerrainFusion node(cfg.dump(), nullptr);
        EXPECT_EQ(node.projection()->projectionType(), fw::GCJ02Projection().projectionType());
    }
}

TEST(TerrainFusionConfig, RefusedConfigurations) {
    testsupport::TempDir dir("tf-config");
    const std::string file = dir.write("plain-file", "x");
    struct Case {
        std::string text;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"{not json", "failed to parse config string: "},
        {R"({"dom":{},"dsm":{}})", "work_dir is missing"},
        {nlohmann::json{{"work_dir", dir.path()}, {"dom", {}}}.dump(), "dom or dsm is missing"},
        {nlohmann::json{{"work_dir", file + "/below"}, {"dom", {}}, {"dsm", {}}}.dump(), "failed to create work folder: "},
        {nlohmann::json{{"work_dir", dir.path()}, {"dom", {{"scale", 0.0}}}, {"dsm", nlohmann::json::object()}}.dump(), "scale"},
        {nlohmann::json{{"work_dir", dir.path()}, {"dom", {{"tiling", {{"storage", 5}}}}}, {"dsm", nlohmann::json::object()}}.dump(),
         "failed to set up tile manager"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CapturedLog log;
        auto node = createTerrainFusionInstance(c.text, nullptr, nullptr, nullptr);
        ASSERT_TRUE(node);
        EXPECT_FALSE(node->setUpOk());
        EXPECT_TRUE(log.contains(c.line, fw::kError));
        // A node without a tile manager refuses point clouds with one line and
        // answers the other commands harmlessly.
        auto frame = std::make_shared<MapFrame>(1, 1.0, fw::GImage(), "", nullptr, std::vector<double>{}, 1);
        dv::Var message(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)),
                                             dv::Var(std::vector<pt::Point3d>{{1, 2, 3}})});
        const size_t before = log.count("failed to set up tile manager", fw::kError);
        node->call("point_cloud", &message);
        EXPECT_EQ(log.count("failed to set up tile manager", fw::kError), before + 1);
        const size_t lines = log.records().size();
        node->call("flush_tile_cache", nullptr);
        EXPECT_EQ(log.records().size(), lines);
        double progress = -1.0;
        node->call("TerrainFusion_Progress", &progress);
        EXPECT_EQ(progress, 0.0);
        EXPECT_FALSE(node->feedFrame(frame));
    }
}

TEST(TerrainFusionNode, CommandsAndTilesetItems) {
    testsupport::TempDir dir("tf-node");
    nlohmann::json cfg = tftest::config(dir.path(), {{"terrainfusion.render_zooms", 6}});
    cfg["zoom_level"] = 21;
    cfg["fetch_gps"] = true;
    zel::Chain parent("job", nullptr);
    CapturedLog log;
    auto node = createTerrainFusionInstance(cfg.dump(), &parent, nullptr, nullptr);
    ASSERT_TRUE(node->setUpOk());
    node->call("no_such_command", nullptr);
    EXPECT_TRUE(log.contains("TerrainFusion::call: unknown command: no_such_command", fw::kError));

    // Before the first point cloud: no pool.
    auto frame = std::make_shared<MapFrame>(7, 1.0, fw::GImage(), "", nullptr, std::vector<double>{}, 1);
    EXPECT_FALSE(node->feedFrame(frame));
    double progress = -1.0;
    node->call("TerrainFusion_Progress", &progress);
    EXPECT_EQ(progress, 0.0);
    // An empty point list: the warning, no task; the pool exists from then on.
    dv::Var empty(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)),
                                       dv::Var(std::vector<pt::Point3d>{})});
    node->call("point_cloud", &empty);
    EXPECT_TRUE(log.contains("No points in frame: 7", fw::kWarning));
    // An undefined frame is refused.
    dv::Var undefinedFrame(std::vector<dv::Var>{dv::Var(), dv::Var(std::vector<pt::Point3d>{{1, 2, 3}})});
    node->call("point_cloud", &undefinedFrame);
    EXPECT_TRUE(log.contains("message without a frame", fw::kError));

    node->updateTilesets();
    const auto items = parent.outputs();
    ASSERT_EQ(items.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        auto tileset = std::dynamic_pointer_cast<zel::Tileset>(items[i]);
        ASSERT_TRUE(tileset);
        EXPECT_EQ(tileset->name, i == 0 ? "dom_01" : "dsm_01");
        EXPECT_EQ(tileset->zoomRange[0], 21);
        EXPECT_EQ(tileset->zoomRange[1], 16);
        EXPECT_EQ(tileset->state, zel::ItemState::Updating);
    }
    node->call("flush_tile_cache", nullptr);
    EXPECT_TRUE(log.contains("Writing tiles..."));

    // With the pool made, frames are queued; a frame without keypoints fails
    // in its task, which still releases the image.
    EXPECT_TRUE(node->feedFrame(frame));
    node.reset();  // the queued task finishes first
    EXPECT_TRUE(log.contains("Terrainfusion is working on 7"));
    EXPECT_TRUE(log.contains("Too few key points", fw::kError));
}

// Tiles that could not be written are counted in both tilesets' filesLost,
// during the run and after the flush at the node's end; the node's progress
// is whole only after that flush.
TEST(TerrainFusionNode, LostTilesCountedAndProgressWholeAfterTheLastWrites) {
    testsupport::TempDir dir("tf-lost");
    nlohmann::json cfg = tftest::config(dir.path());
    cfg["zoom_level"] = 21;
    cfg["fetch_gps"] = true;
    zel::Chain parent("job", nullptr);
    parent.setProgressRecord(ProgressNode("Map Fusion", 0.0, 1.0, 1.0f, -1.0,
                                          {ProgressNode("Terrain Fusion", 0.0, -1.0, 1.0f, -1.0)}));
    CapturedLog log;
    auto node = createTerrainFusionInstance(cfg.dump(), &parent, nullptr, nullptr);
    ASSERT_TRUE(node->setUpOk());
    node->setFrameCount(3);
    auto tile = [](int x) {
        auto t = std::make_shared<TerrainFusionMultiTile>(
            fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(90))),
            fw::GImage(cv::Mat(64, 64, CV_32FC1, cv::Scalar(5.0f))), TileKey{x, 0, 21}, 1.0,
            fw::GImage(cv::Mat(256, 256, CV_8UC1, cv::Scalar(255))), fw::GImage(), 0);
        t->setModified(true);
        return t;
    };
    auto lostCounts = [&parent] {
        std::vector<int64_t> counts;
        for (const auto& item : parent.outputs()) counts.push_back(item->filesLost);
        return counts;
    };
    node->tileManager()->SetTile(0, 0, 21, tile(0));
    node->call("flush_tile_cache", nullptr);
    node->updateTilesets();
    EXPECT_EQ(lostCounts(), (std::vector<int64_t>{0, 0}));
    ASSERT_TRUE(fs::exists(fs::path(dir.path()) / "dom" / "21" / "21_0_0.png"));

    // The folders go: every later write fails.
    for (const char* folder : {"tiles", "dom", "dsm"}) {
        fs::remove_all(fs::path(dir.path()) / folder);
        std::ofstream(fs::path(dir.path()) / folder) << "not a folder";
    }
    node->tileManager()->SetTile(1, 0, 21, tile(1));
    node->tileManager()->SetTile(2, 0, 21, tile(2));
    node->call("flush_tile_cache", nullptr);
    node->updateTilesets();
    EXPECT_EQ(lostCounts(), (std::vector<int64_t>{2, 2}));
    const ProgressNode before = parent.progress();
    ASSERT_EQ(before.children.size(), 1u);
    EXPECT_LT(before.children[0].value, 4.0) << "not whole before the last flush";

    node.reset();  // the flush at its end fails again
    EXPECT_EQ(lostCounts(), (std::vector<int64_t>{2, 2}));
    EXPECT_TRUE(log.contains("TerrainFusion: 2 tiles could not be written", fw::kError));
    const ProgressNode after = parent.progress();
    EXPECT_EQ(after.children[0].value, 4.0) << "three frames and the flush";
    EXPECT_EQ(after.children[0].total, 4.0);
}

TEST(TerrainFusionNode, RenderZoomsAreClamped) {
    const std::vector<std::pair<int, int>> cases = {{-3, 1}, {0, 1}, {1, 1}, {6, 6}, {7, 7}, {12, 7}};
    for (const auto& [setting, expected] : cases) {
        testsupport::TempDir dir("tf-node");
        TerrainFusion node(tftest::config(dir.path(), {{"terrainfusion.render_zooms", setting}}).dump(), nullptr);
        EXPECT_EQ(node.renderZooms(), expected) << setting;
        EXPECT_EQ(node.pyramidLevels(), expected) << setting;
    }
    EXPECT_EQ(TerrainFusion::applyScaleRule(2, 16.0f, 26), 0);  // never below zoom 0
}

// The synthetic scene, one frame at zoom 20.
class Rasterisation : public testing::Test {
protected:
    void SetUp() override {
        nlohmann::json cfg = tftest::config(dir.path());
        cfg["zoom_level"] = 20;
        cfg["fetch_gps"] = true;
        node = std::make_unique<TerrainFusion>(cfg.dump(), nullptr);
        ASSERT_TRUE(node->setUpOk());
    }
    // Local east-north-up coordinates of global pixel (px, py) at zoom 20.
    pt::Point3d localOfPixel(double px, double py) const {
        fw::MercatorProjection mercator;
        const fw::LatLon ll = mercator.pixelToLatLon(static_cast<int64_t>(std::floor(px)),
                                                     static_cast<int64_t>(std::floor(py)), 20);
        const pt::Point3d ecef = fw::geodeticToECEF(ll.lat, ll.lon, 0.0);
        const pt::Point3d d{ecef.x - scene.origin.x, ecef.y - scene.origin.y, ecef.z - scene.origin.z};
        return scene.enu.conjugate() * d;
    }
    testsupport::TempDir dir{"tf-raster"};
    synthetic::BoxScene scene;
    std::unique_ptr<TerrainFusion> node;
};

TEST_F(Rasterisation, SyntheticSceneDsmDomAndBoxEdges) {
    auto frame = scene.frame(1, 0.0, 0.0, dir.file("frame1.png"));
    ASSERT_TRUE(node->identifyZoom(frame, false));
    TerrainFusion::LocalDSMData record;
    ASSERT_TRUE(node->makeMap_idw(frame, record, scene.points(0.0, 0.0)));
    ASSERT_EQ(record.dom.type(), CV_8UC3);
    ASSERT_EQ(record.dsm.cols, record.width / 4);
    ASSERT_EQ(record.width, (record.xMax - record.xMin + 1) * 256);

    int flatCells = 0, boxCells = 0;
    double worstFlat = 0.0;
    for (int r = 0; r < record.dsm.rows; ++r) {
        for (int c = 0; c < record.dsm.cols; ++c) {
            const float value = record.dsm.at<float>(r, c);
            if (value < -1e8f) continue;
            // The cell's whole footprint (and a two-cell margin) on the flat ground.
            bool flat = true;
            for (int dr = -2; dr <= 3 && flat; ++dr)
                for (int dc = -2; dc <= 3 && flat; ++dc) {
                    const pt::Point3d p = localOfPixel(record.pixelOriginX + 4.0 * (c + dc),
                                                       record.pixelOriginY + 4.0 * (r + dr));
                    if (scene.inBox(p.x, p.y)) flat = false;
                }
            if (flat) {
                ++flatCells;
                worstFlat = std::max(worstFlat, std::fabs(double(value)));
            } else {
                ++boxCells;
            }
        }
    }
    EXPECT_GT(flatCells, 5000);
    EXPECT_GT(boxCells, 200);
    EXPECT_LT(worstFlat, 0.02);

    // DOM colour against the texture, on the flat ground where the image saw it.
    double errorSum = 0.0;
    int pixels = 0;
    for (int r = 0; r < record.height; r += 3) {
        for (int c = 0; c < record.width; c += 3) {
            if (record.weight.at<uint8_t>(r, c) == 0) continue;
            const pt::Point3d p = localOfPixel(record.pixelOriginX + c, record.pixelOriginY + r);
            if (p.x > scene.box.e0 - 8.0 && p.x < scene.box.e1 + 2.0 && p.y > scene.box.n0 - 2.0 &&
                p.y < scene.box.n1 + 2.0)
                continue;  // near the box: its walls hide or lean over the ground
            errorSum += std::fabs(record.dom.at<cv::Vec3b>(r, c)[1] - synthetic::BoxScene::texture(p.x, p.y));
            ++pixels;
        }
    }
    ASSERT_GT(pixels, 10000);
    EXPECT_LT(errorSum / pixels, 4.0);

    // Box edges along the row and the column through its centre.
    fw::MercatorProjection mercator;
    auto cellOf = [&](double e, double n) {
        const pt::Point3d ecef = scene.toEcef({e, n, 0.0});
        const pt::Point3d g = ecefToGeodetic(ecef.x, ecef.y, ecef.z);
        const fw::Point2l px = mercator.latLonToPixelUnrounded(g.x, g.y, 20);
        return cv::Point2d((px.x - record.pixelOriginX) / 4.0, (px.y - record.pixelOriginY) / 4.0);
    };
    const cv::Point2d centre = cellOf(10.0, 0.0);
    const cv::Point2d west = cellOf(scene.box.e0, 0.0), east = cellOf(scene.box.e1, 0.0);
    const cv::Point2d north = cellOf(10.0, scene.box.n1), south = cellOf(10.0, scene.box.n0);
    const int row = static_cast<int>(centre.y), column = static_cast<int>(centre.x);
    int first = -1, last = -1;
    for (int c = 0; c < record.dsm.cols; ++c) {
        if (record.dsm.at<float>(row, c) > 2.5f) {
            if (first < 0) first = c;
            last = c;
        }
    }
    EXPECT_NEAR(first, west.x, 2.0);
    EXPECT_NEAR(last + 1, east.x, 2.0);
    first = last = -1;
    for (int r = 0; r < record.dsm.rows; ++r) {
        if (record.dsm.at<float>(r, column) > 2.5f) {
            if (first < 0) first = r;
            last = r;
        }
    }
    EXPECT_NEAR(first, north.y, 2.0);
    EXPECT_NEAR(last + 1, south.y, 2.0);
    EXPECT_NEAR(record.dsm.at<float>(row, column), scene.box.height, 0.02);
}

TEST_F(Rasterisation, RefusedInputs) {
    CapturedLog log;
    auto frame = scene.frame(1, 0.0, 0.0, dir.file("frame1.png"));
    ASSERT_TRUE(node->identifyZoom(frame, false));
    TerrainFusion::LocalDSMData record;
    EXPECT_FALSE(node->makeMap_idw(frame, record, {}));
    EXPECT_TRUE(log.contains("Zero point was passed in - Frame ID: 1Point Cnt: 0"));

    // A path that is no regular file (a folder) and a file that is not an image.
    auto folderFrame = std::make_shared<MapFrame>(2, 2.0, fw::GImage(), dir.path(), scene.camera(),
                                                  std::vector<double>{10.0, 50.0, 100.0, 0.1, 0.1, 0.1}, 1);
    folderFrame->setPose(scene.pose(0, 0));
    EXPECT_FALSE(node->makeMap_idw(folderFrame, record, scene.points(0, 0, 16)));
    EXPECT_TRUE(log.contains("TerrainFusion::makeMap_idw 1 - Wrong Path! " + dir.path()));
    const std::string text = dir.write("not-image.png", "plain text");
    auto textFrame = std::make_shared<MapFrame>(3, 3.0, fw::GImage(), text, scene.camera(),
                                                std::vector<double>{10.0, 50.0, 100.0, 0.1, 0.1, 0.1}, 1);
    textFrame->setPose(scene.pose(0, 0));
    EXPECT_FALSE(node->makeMap_idw(textFrame, record, scene.points(0, 0, 16)));
    EXPECT_TRUE(log.contains("TerrainFusion::makeMap_idw 2 - Wrong Path! " + text));

    // One channel: refused; four channels: alpha dropped.
    cv::imwrite(dir.file("grey.png"), cv::Mat(480, 640, CV_8UC1, cv::Scalar(90)));
    auto greyFrame = std::make_shared<MapFrame>(4, 4.0, fw::GImage(), dir.file("grey.png"), scene.camera(),
                                                std::vector<double>{10.0, 50.0, 100.0, 0.1, 0.1, 0.1}, 1);
    greyFrame->setPose(scene.pose(0, 0));
    EXPECT_FALSE(node->makeMap_idw(greyFrame, record, scene.points(0, 0, 16)));
    EXPECT_TRUE(log.contains("imgIn.type() is CV_8UC3"));
    cv::imwrite(dir.file("rgba.png"), cv::Mat(480, 640, CV_8UC4, cv::Scalar(10, 20, 30, 40)));
    auto rgbaFrame = std::make_shared<MapFrame>(5, 5.0, fw::GImage(), dir.file("rgba.png"), scene.camera(),
                                                std::vector<double>{10.0, 50.0, 100.0, 0.1, 0.1, 0.1}, 1);
    rgbaFrame->setPose(scene.pose(0, 0));
    TerrainFusion::LocalDSMData rgba;
    ASSERT_TRUE(node->makeMap_idw(rgbaFrame, rgba, scene.points(0, 0, 16)));
    const cv::Point centre(rgba.width / 2, rgba.height / 2);
    EXPECT_EQ(rgba.dom.at<cv::Vec3b>(centre), cv::Vec3b(10, 20, 30));

    // Outlier points far away: the rectangle is capped and the frame refused.
    std::vector<pt::Point3d> spread = scene.points(0, 0, 16);
    spread.push_back(scene.toEcef({5000.0, -5000.0, 0.0}));
    EXPECT_FALSE(node->makeMap_idw(frame, record, spread));
    EXPECT_TRUE(log.contains("TF: frame 1 spans", fw::kError));
}

TEST_F(Rasterisation, ImagePathFolderSetting) {
    // "imagepath" replaces the folder of the frame's path.
    testsupport::TempDir other("tf-images");
    scene.frame(9, 0.0, 0.0, other.file("frame9.png"));
    nlohmann::json cfg = tftest::config(dir.path(), {{"imagepath", other.path()}});
    cfg["zoom_level"] = 20;
    cfg["fetch_gps"] = true;
    TerrainFusion withFolder(cfg.dump(), nullptr);
    auto frame = std::make_shared<MapFrame>(9, 9.0, fw::GImage(), "/nowhere/at/all/frame9.png", scene.camera(),
                                            std::vector<double>{10.0, 50.0, 100.0, 0.1, 0.1, 0.1}, 1);
    frame->setPose(scene.pose(0, 0));
    ASSERT_TRUE(withFolder.identifyZoom(frame, false));
    TerrainFusion::LocalDSMData record;
    EXPECT_TRUE(withFolder.makeMap_idw(frame, record, scene.points(0, 0, 16)));
}

}  // namespace
