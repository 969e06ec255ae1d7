// The eviction window of the node and the equivalence of runs with a small
// and a large tile cache, over the folder and the MBTiles stores.

#include "node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager_cached.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;
using testsupport::CapturedLog;

std::unique_ptr<TerrainFusion> nodeWithThreads(const std::string& dir, int threads) {
    return std::make_unique<TerrainFusion>(tftest::config(dir, {{"terrainfusion.threads", threads}}).dump(), nullptr);
}

std::shared_ptr<TerrainFusionMultiTile> stampedTile(int x, double time) {
    auto tile = std::make_shared<TerrainFusionMultiTile>(
        fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(x))), fw::GImage(cv::Mat(64, 64, CV_32FC1, cv::Scalar(1))),
        TileKey{x, 0, 20}, time, fw::GImage(cv::Mat(256, 256, CV_8UC1, cv::Scalar(100))), fw::GImage(), 0);
    tile->setModified(true);
    return tile;
}

TEST(EvictionWindow, WindowLengthTable) {
    struct Case {
        int threads;
        std::vector<size_t> linesAfterEachCall;
    };
    const std::vector<Case> cases = {
        {4, {0, 0, 0, 0, 1, 2}},
        {0, {1, 2, 3}},
        {-1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {1, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.threads);
        testsupport::TempDir dir("tf-window");
        auto node = nodeWithThreads(dir.path(), c.threads);
        CapturedLog log;
        for (size_t i = 0; i < c.linesAfterEachCall.size(); ++i) {
            node->AdaptiveRemoveTileCache(static_cast<double>(i + 1));
            EXPECT_EQ(log.count("Cache Out: "), c.linesAfterEachCall[i]) << "call " << i + 1;
        }
        if (c.linesAfterEachCall.back() > 0) {
            EXPECT_TRUE(log.contains("Cache Out: 0, In Cache: 0, time: "));
        }
    }
}

TEST(EvictionWindow, LimitIsTheOldestFrameAndEqualTimesStay) {
    for (int storage : {1, 2}) {
        SCOPED_TRACE(storage);
        testsupport::TempDir dir("tf-window");
        TerrainFusion node(tftest::config(dir.path(), {{"terrainfusion.threads", 2}}, storage).dump(), nullptr);
        ASSERT_TRUE(node.setUpOk());
        auto cached = std::dynamic_pointer_cast<TileManagerCachedGDAL>(node.tileManager());
        for (int x = 0; x < 3; ++x) ASSERT_TRUE(cached->SetTile(x, 0, 20, stampedTile(x, 10.0 + x)));
        CapturedLog log;
        node.AdaptiveRemoveTileCache(11.0);
        node.AdaptiveRemoveTileCache(12.0);
        EXPECT_EQ(cached->size(), 3u);
        node.AdaptiveRemoveTileCache(13.0);  // limit 11: the tile at 10 leaves, the one at 11 stays
        EXPECT_EQ(cached->size(), 2u);
        EXPECT_TRUE(log.contains("Cache Out: 1, In Cache: 2, time: "));
        node.AdaptiveRemoveTileCache(14.0);  // limit 12: the tile at 11 leaves
        EXPECT_EQ(cached->size(), 1u);
    }
}

// The DOM (decoded with OpenCV) and DSM of every tile a run wrote.
struct Output {
    std::map<std::string, cv::Mat> dom;
    std::map<std::string, cv::Mat> dsm;
};

Output readFolders(const std::string& domFolder, const std::string& dsmFolder) {
    Output out;
    for (const auto& entry : fs::recursive_directory_iterator(domFolder))
        if (entry.path().extension() == ".png")
            out.dom[fs::relative(entry.path(), domFolder).string()] = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
    for (const auto& entry : fs::recursive_directory_iterator(dsmFolder))
        if (entry.path().extension() == ".tiff")
            out.dsm[fs::relative(entry.path(), dsmFolder).string()] = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
    return out;
}

void readRows(const std::string& path, std::map<std::string, cv::Mat>& into) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles;", -1, &stmt, nullptr),
              SQLITE_OK);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const std::string key = std::to_string(sqlite3_column_int(stmt, 0)) + "/" +
                                std::to_string(sqlite3_column_int(stmt, 1)) + "/" +
                                std::to_string(sqlite3_column_int(stmt, 2));
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 3));
        std::vector<uint8_t> bytes(data, data + sqlite3_column_bytes(stmt, 3));
        into[key] = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

Output flight(const std::string& dir, int cacheSize, int storage) {
    synthetic::BoxScene scene;
    scene.width = 320;
    scene.height = 240;
    scene.focal = 400.0;
    nlohmann::json cfg = tftest::config(
        dir, {{"terrainfusion.threads", 1}, {"terrainfusion.cache_size", cacheSize}, {"terrainfusion.render_zooms", 2}},
        storage);
    cfg["zoom_level"] = 20;
    cfg["fetch_gps"] = true;
    {
        auto node = createTerrainFusionInstance(cfg.dump(), nullptr, nullptr, nullptr);
        EXPECT_TRUE(node->setUpOk());
        const double path[][2] = {{0, 0}, {25, 0}, {25, 20}, {5, 15}};
        uint64_t id = 1;
        for (const auto& p : path) {
            auto frame = scene.frame(id, p[0], p[1], dir + "/frame" + std::to_string(id) + ".png");
            dv::Var message(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)),
                                                 dv::Var(scene.points(p[0], p[1], 2))});
            node->call("point_cloud", &message);
            ++id;
        }
    }  // destroyed: queued frames finish, then every cached tile is written
    Output out;
    if (storage == 1) return readFolders(dir + "/dom", dir + "/dsm");
    readRows(dir + "/dom/dom.mbtiles", out.dom);
    readRows(dir + "/dsm/dsm.mbtiles", out.dsm);
    return out;
}

// One test per store, so that the two can run side by side.
class CacheSize : public testing::TestWithParam<int> {};

TEST_P(CacheSize, SmallCacheGivesTheSameTiles) {
    {
        const int storage = GetParam();
        testsupport::TempDir small("tf-small"), large("tf-large");
        const Output a = flight(small.path(), 16, storage);
        const Output b = flight(large.path(), 100000, storage);
        ASSERT_GT(a.dom.size(), 8u);
        ASSERT_EQ(a.dom.size(), b.dom.size());
        ASSERT_EQ(a.dsm.size(), b.dsm.size());
        for (const auto& [key, image] : a.dom) {
            ASSERT_TRUE(b.dom.count(key)) << key;
            const cv::Mat& other = b.dom.at(key);
            ASSERT_EQ(image.size(), other.size()) << key;
            ASSERT_EQ(image.type(), other.type()) << key;
            EXPECT_EQ(cv::norm(image, other, cv::NORM_INF), 0.0) << key;
        }
        // Cells whose elevation the small run read back as -1e9 (the TIFF keeps
        // none under weight 0) and that a later frame did not overwrite.
        size_t valued = 0, emptyBoth = 0, emptyOne = 0, emptyInLarge = 0;
        for (const auto& [key, grid] : a.dsm) {
            ASSERT_TRUE(b.dsm.count(key)) << key;
            const cv::Mat& other = b.dsm.at(key);
            ASSERT_EQ(grid.size(), other.size());
            ASSERT_EQ(grid.type(), CV_32FC1);
            for (int r = 0; r < grid.rows; ++r) {
                for (int c = 0; c < grid.cols; ++c) {
                    const float u = grid.at<float>(r, c), v = other.at<float>(r, c);
                    const bool ue = u < -1e8f, ve = v < -1e8f;
                    if (ue && ve) {
                        ++emptyBoth;
                    } else if (ue || ve) {
                        ++emptyOne;
                        emptyInLarge += ve;
                    } else {
                        ++valued;
                        EXPECT_EQ(u, v) << key << " " << r << "," << c;
                    }
                }
            }
        }
        EXPECT_GT(valued, 1000u);
        EXPECT_EQ(emptyInLarge, 0u);
        EXPECT_LT(emptyOne * 100, valued);
        std::cout << "storage " << storage << ": " << a.dom.size() << " DOM tiles equal; DSM cells with values "
                  << valued << ", -1e9 in both " << emptyBoth << ", in one run only " << emptyOne << std::endl;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, CacheSize, testing::Values(1, 2));

}  // namespace
