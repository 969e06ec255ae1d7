// The MBTiles store, checked with the sqlite3 shell, OpenCV's readers and
// gdalinfo.
#include "tile_store_fixtures.h"
#include "testsupport/captured_log.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using testsupport::CapturedLog;
using tiletest::makeTile;

namespace {

const std::string kSqlite3 = testsupport::kSqlite3Path;
const std::string kGdalinfo = testsupport::kGdalinfoPath;

bool have(const std::string& program) { return !program.empty() && fs::exists(program); }

// Output of one statement run by the sqlite3 shell; fails the test on error.
std::string sql(const std::string& db, const std::string& statement) {
    const auto result = testsupport::runProcess({kSqlite3, db, statement}, "", 30);
    EXPECT_EQ(result.exitCode, 0) << statement << "\n" << result.err;
    return result.out;
}

class MbtilesStore : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have(kSqlite3)) GTEST_SKIP() << "sqlite3 shell not installed";
    }
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(MbtilesStore, SchemaAsCreated) {
    TileManagerFileSystemMultiFileMbtiles store(dir.path(), "", "");
    ASSERT_TRUE(store.ready());
    EXPECT_EQ(store.type(), "TileManagerFileSystemMultiFileMbtiles");
    EXPECT_EQ(store.domPath(), (fs::path(dir.path()) / "dom.mbtiles").string());
    EXPECT_EQ(store.tileDbPath(), dir.path() + "/tile.db");
    for (const std::string& db : {store.domPath(), store.dsmPath()}) {
        EXPECT_EQ(sql(db, "SELECT type || ' ' || name || ' ' || tbl_name FROM sqlite_master ORDER BY rowid;"),
                  "table tiles tiles\nindex tile_index tiles\ntable metadata metadata\n");
        EXPECT_EQ(sql(db, "SELECT sql FROM sqlite_master WHERE name='tiles';"),
                  "CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob)\n");
        EXPECT_EQ(sql(db, "SELECT sql FROM sqlite_master WHERE name='tile_index';"),
                  "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)\n");
        // The default rollback journal: the file is an ordinary database.
        EXPECT_EQ(sql(db, "PRAGMA journal_mode;"), "delete\n");
    }
    EXPECT_EQ(sql(store.domPath(), "SELECT name, value FROM metadata;"), "name|dom\nformat|png\n");
    EXPECT_EQ(sql(store.dsmPath(), "SELECT name, value FROM metadata;"), "name|dsm\nformat|tiff\n");
    EXPECT_EQ(sql(store.tileDbPath(), "SELECT type || ' ' || name FROM sqlite_master ORDER BY rowid;"),
              "table tiles\nindex tile_index\n");
}

TEST_F(MbtilesStore, MetadataRowsAtDestruction) {
    const std::string dom = dir.path() + "/dom.mbtiles";
    {
        TileManagerFileSystemMultiFileMbtiles store(dir.path(), "", "");
        TileArea a;
        a.z = 1, a.xMin = 0, a.yMin = 0, a.xMax = 1, a.yMax = 1;
        store.setTileArea(a);
    }
    EXPECT_EQ(sql(dom, "SELECT name, value FROM metadata;"),
              "name|dom\nformat|png\nbounds|-180.000000,-85.051129,180.000000,85.051129\n"
              "center|0.000000,0.000000\nminzoom|0\nmaxzoom|1\n");
    EXPECT_EQ(sql(dir.path() + "/dsm.mbtiles", "SELECT value FROM metadata WHERE name='minzoom';"), "0\n");
}

TEST_F(MbtilesStore, RowsAreTmsFlippedOnePerKey) {
    const std::string dom = dir.path() + "/d/dom.mbtiles";
    const std::string dsm = dir.path() + "/s/dsm.mbtiles";
    auto second = makeTile({2, 0, 3}, 9);
    {
        // Folders given as the database files stand for their parents.
        TileManagerFileSystemMultiFileMbtiles store(dir.path(), dom, dsm);
        ASSERT_TRUE(store.ready());
        EXPECT_EQ(store.domPath(), dom);
        EXPECT_EQ(TileManagerFileSystemMultiFileMbtiles::tmsRow(0, 3), 7);
        EXPECT_EQ(TileManagerFileSystemMultiFileMbtiles::tmsRow(0, 0), 0);
        ASSERT_TRUE(store.SetTile(2, 0, 3, makeTile({2, 0, 3}, 1)));
        ASSERT_TRUE(store.SetTile(2, 0, 3, second));
        ASSERT_TRUE(store.SetTile(0, 0, 0, makeTile({0, 0, 0}, 2)));
    }
    for (const std::string& db : {dom, dsm, dir.path() + "/tile.db"}) {
        SCOPED_TRACE(db);
        EXPECT_EQ(sql(db, "SELECT zoom_level, tile_column, tile_row FROM tiles ORDER BY zoom_level;"),
                  "0|0|0\n3|2|7\n");
    }
    // The stored images, read by OpenCV.
    const std::string png = dir.file("t.png"), tiff = dir.file("t.tiff");
    sql(dom, "SELECT writefile('" + png + "', tile_data) FROM tiles WHERE zoom_level=3;");
    sql(dsm, "SELECT writefile('" + tiff + "', tile_data) FROM tiles WHERE zoom_level=3;");
    const cv::Mat rgba = cv::imread(png, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(rgba.type(), CV_8UC4);
    const cv::Vec4b p = rgba.at<cv::Vec4b>(30, 100);
    const cv::Vec3b q = cv::Mat(second->image).at<cv::Vec3b>(30, 100);
    EXPECT_EQ(p, cv::Vec4b(q[0], q[1], q[2], 255));
    EXPECT_EQ(rgba.at<cv::Vec4b>(30, 10)[3], 0);  // weight 0
    const cv::Mat elevation = cv::imread(tiff, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(elevation.type(), CV_32FC1);
    EXPECT_EQ(elevation.at<float>(3, 3), -1e9f);
    EXPECT_EQ(elevation.at<float>(3, 40), cv::Mat(second->elevation).at<float>(3, 40));
}

TEST_F(MbtilesStore, ReadsBackWhatItWrote) {
    TileManagerFileSystemMultiFileMbtiles store(dir.path(), "", "");
    auto tile = makeTile({5, 6, 4}, 3, 7.5);
    ASSERT_TRUE(store.SetTile(5, 6, 4, tile));
    auto read = std::dynamic_pointer_cast<TerrainFusionMultiTile>(store.GetTile(5, 6, 4));
    ASSERT_TRUE(read);
    EXPECT_TRUE(tiletest::sameMat(read->image, tile->image));
    EXPECT_TRUE(tiletest::sameMat(read->weight, tile->weight));
    EXPECT_EQ(read->getTimestamp(), 7.5);
    EXPECT_EQ(cv::Mat(read->elevation).at<float>(0, 0), -1000000000.0f);
    ASSERT_EQ(read->imagePyramid.size(), 2u);
    EXPECT_EQ(store.GetTile(5, 7, 4), nullptr);  // no row
}

// A stored image of another shape, or one that does not decode, makes the
// tile absent with a WARNING.
TEST_F(MbtilesStore, WrongImagesMakeTheTileAbsent) {
    struct Case {
        const char* name;
        bool dom;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> smallTiff, byteTiff, junk{'I', 'I', 42, 0, 8, 0, 0, 0}, foreignPng;
    cv::imencode(".tiff", cv::Mat(32, 32, CV_32FC1, cv::Scalar(1)), smallTiff);
    cv::imencode(".tiff", cv::Mat(64, 64, CV_8UC1, cv::Scalar(1)), byteTiff);
    cv::imencode(".png", cv::Mat(256, 256, CV_8UC4, cv::Scalar::all(1)), foreignPng);
    const Case cases[] = {{"TIFF 32 x 32", false, smallTiff},
                          {"8-bit TIFF", false, byteTiff},
                          {"TIFF that does not decode", false, junk},
                          {"PNG of another encoder", true, foreignPng}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir d;
        TileManagerFileSystemMultiFileMbtiles store(d.path(), "", "");
        ASSERT_TRUE(store.SetTile(1, 1, 2, makeTile({1, 1, 2}, 1)));
        const std::string file = d.write("blob", std::string(c.bytes.begin(), c.bytes.end()));
        sql(c.dom ? store.domPath() : store.dsmPath(), "UPDATE tiles SET tile_data=readfile('" + file + "');");
        CapturedLog log;
        EXPECT_EQ(store.GetTile(1, 1, 2), nullptr);
        EXPECT_TRUE(log.contains("1,1,2", fw::kWarning));
    }
}

TEST_F(MbtilesStore, ExistingDatabaseIsRefusedAtSetUp) {
    { TileManagerFileSystemMultiFileMbtiles first(dir.path(), "", ""); }
    const std::string before = sql(dir.path() + "/dom.mbtiles", "SELECT count(*) FROM metadata;");
    CapturedLog log;
    TileManagerFileSystemMultiFileMbtiles second(dir.path(), "", "");
    EXPECT_FALSE(second.ready());
    EXPECT_EQ(second.domDb(), nullptr);
    EXPECT_TRUE(log.contains({dir.path() + "/dom.mbtiles", "already exists"}, fw::kError));
    EXPECT_EQ(second.GetTile(0, 0, 0), nullptr);
    EXPECT_FALSE(second.SetTile(3, 4, 5, makeTile({3, 4, 5}, 1)));
    EXPECT_TRUE(log.contains({"3,4,5", "not written"}, fw::kError));

    // Only tile.db present: still refused, nothing created beside it.
    testsupport::TempDir other;
    other.write("tile.db", "");
    TileManagerFileSystemMultiFileMbtiles third(other.path(), "", "");
    EXPECT_FALSE(third.ready());
    EXPECT_FALSE(fs::exists(other.path() + "/dom.mbtiles"));
    EXPECT_TRUE(log.contains(other.path() + "/tile.db", fw::kError));
}

TEST_F(MbtilesStore, FailedWritesAreReported) {
    TileManagerFileSystemMultiFileMbtiles store(dir.path(), "", "");
    CapturedLog log;
    EXPECT_FALSE(store.SetTile(1, 1, 1, std::make_shared<fw::ImageTile>()));
    EXPECT_TRUE(log.contains("Can't cast tile to TerrainFusionMultiTile: ImageTile", fw::kError));
    // Another connection holds the DSM database locked: the row is not written.
    auto locker = testsupport::runProcess(
        {"/bin/sh", "-c",
         "((echo 'BEGIN EXCLUSIVE; SELECT 1;'; sleep 3; echo 'COMMIT;') | " + kSqlite3 + " " + store.dsmPath() +
             ") >/dev/null 2>&1 & sleep 1; echo started"},
        "", 30);
    ASSERT_EQ(locker.exitCode, 0);
    EXPECT_FALSE(store.SetTile(2, 2, 2, makeTile({2, 2, 2}, 1)));
    EXPECT_TRUE(log.contains({"2,2,2", "dsm.mbtiles"}, fw::kError));
}

TEST_F(MbtilesStore, GdalinfoReadsTheDomDatabase) {
    if (!have(kGdalinfo)) GTEST_SKIP() << "gdalinfo not installed";
    const int z = 18;
    {
        auto store = std::make_shared<TileManagerFileSystemMultiFileMbtiles>(dir.path(), "", "");
        TileArea a;
        a.z = z;
        store->setTileArea(a);
        TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), store, 16);
        for (int x = 215000; x <= 215001; ++x) {
            for (int y = 99000; y <= 99002; ++y) {
                auto t = makeTile({x, y, z}, uint32_t(x + y));
                t->setModified(true);
                cache.SetTile(x, y, z, t);
            }
        }
    }
    const auto result = testsupport::runProcess({kGdalinfo, "-json", dir.path() + "/dom.mbtiles"}, "", 60);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto info = nlohmann::json::parse(result.out);
    EXPECT_EQ(info["driverShortName"], "MBTiles");
    const double n = std::pow(2.0, z);
    const double lonW = 215000 / n * 360 - 180, lonE = 215002 / n * 360 - 180;
    const double pi = 3.141592653589793;
    const double latN = std::atan(std::sinh(pi * (1 - 2 * 99000 / n))) * 180 / pi;
    const double latS = std::atan(std::sinh(pi * (1 - 2 * 99003 / n))) * 180 / pi;
    const auto& md = info["metadata"][""];
    char bounds[200];
    std::snprintf(bounds, sizeof bounds, "%f,%f,%f,%f", lonW, latS, lonE, latN);
    EXPECT_EQ(md["bounds"], bounds);
    // The extent GDAL takes from the tiles: the two by three tiles.
    const auto& extent = info["wgs84Extent"]["coordinates"][0];
    double minLon = 1e9, maxLon = -1e9, minLat = 1e9, maxLat = -1e9;
    for (const auto& c : extent) {
        minLon = std::min(minLon, c[0].get<double>());
        maxLon = std::max(maxLon, c[0].get<double>());
        minLat = std::min(minLat, c[1].get<double>());
        maxLat = std::max(maxLat, c[1].get<double>());
    }
    EXPECT_NEAR(minLon, lonW, 1e-6);
    EXPECT_NEAR(maxLon, lonE, 1e-6);
    EXPECT_NEAR(minLat, latS, 1e-6);
    EXPECT_NEAR(maxLat, latN, 1e-6);
    EXPECT_EQ(info["size"][0], 512);
    EXPECT_EQ(info["size"][1], 768);
}
