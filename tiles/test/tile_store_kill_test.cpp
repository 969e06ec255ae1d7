// A child process writes tiles through a store and reports each write that
// succeeded; it is killed with SIGKILL in the middle of writing. Then every
// reported tile must read back intact from its files (OpenCV reads the PNG
// and the TIFF), and the MBTiles databases must pass the sqlite3 shell's
// integrity check and hold every reported tile.
#include "tile_store_fixtures.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"
#include "tiles/tile_serial.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kSqlite3 = testsupport::kSqlite3Path;
constexpr int kKeys = 4;
constexpr int kZoom = 15;

TileKey keyOf(int k) { return TileKey{1000 + k, 2000 + k, kZoom}; }

// Version v of a tile: image bytes v, weight 200 (left quarter 0),
// elevation v, time stamp v.
std::shared_ptr<TerrainFusionMultiTile> versionTile(const TileKey& key, int v) {
    cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(200));
    weight(cv::Rect(0, 0, 64, 256)).setTo(0);
    auto tile = std::make_shared<TerrainFusionMultiTile>(
        fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(v % 250))),
        fw::GImage(cv::Mat(64, 64, CV_32FC1, cv::Scalar(v))), key, double(v), fw::GImage(weight), fw::GImage(), 0);
    return tile;
}

// Runs write in a child until it has reported `reports` writes, kills it
// with SIGKILL and returns the last version reported per key.
std::map<int, int> writeAndKill(const std::function<std::shared_ptr<fw::TileManager>()>& makeStore, int reports) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        auto store = makeStore();
        for (int v = 1;; ++v) {
            for (int k = 0; k < kKeys; ++k) {
                const TileKey key = keyOf(k);
                if (!store->SetTile(key.x, key.y, key.z, versionTile(key, v))) _exit(3);
                const std::string line = std::to_string(k) + " " + std::to_string(v) + "\n";
                if (write(fds[1], line.data(), line.size()) != ssize_t(line.size())) _exit(4);
            }
        }
    }
    close(fds[1]);
    std::map<int, int> last;
    std::string pending;
    int seen = 0;
    bool killed = false;
    char buf[256];
    while (true) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;  // a child that hangs fails below
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        pending.append(buf, size_t(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            int k = 0, v = 0;
            line >> k >> v;
            last[k] = v;
            ++seen;
        }
        if (!killed && seen >= reports) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    close(fds[0]);
    int status = 0;
    if (!killed) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended by itself";
    return last;
}

// The version a file holds must be the last one reported, or the next one
// (written but killed before it was reported).
void expectVersion(int found, int reported, const std::string& what) {
    EXPECT_TRUE(found == reported || found == reported + 1)
        << what << " holds version " << found << ", reported " << reported;
}

int tileFileVersion(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    TerrainFusionMultiTile tile;
    tile.deserialize(in);
    EXPECT_TRUE(in && in.peek() == std::char_traits<char>::eof()) << path << " is not a whole tile";
    EXPECT_EQ(cv::Mat(tile.weight).at<uint8_t>(10, 100), 200) << path;
    return int(tile.getTimestamp());
}

int pngVersion(const std::string& path) {
    const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(png.type(), CV_8UC4) << path;
    EXPECT_EQ(png.size(), cv::Size(256, 256)) << path;
    if (png.empty()) return -1;
    const cv::Vec4b last = png.at<cv::Vec4b>(255, 255);  // the last pixel of the file arrived
    EXPECT_EQ(last[3], 255);
    return last[0];
}

int tiffVersion(const std::string& path) {
    const cv::Mat tiff = cv::imread(path, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(tiff.type(), CV_32FC1) << path;
    EXPECT_EQ(tiff.size(), cv::Size(64, 64)) << path;
    if (tiff.empty()) return -1;
    EXPECT_EQ(tiff.at<float>(0, 0), -1e9f);
    return int(tiff.at<float>(63, 63));
}

}  // namespace

TEST(StoreKill, FolderStoreKeepsEveryReportedTile) {
    testsupport::TempDir dir;
    for (int k = 0; k < kKeys; ++k)
        fs::create_directories(dir.path() + "/" + std::to_string(kZoom) + "/" + std::to_string(keyOf(k).x));
    fw::TileManagerFileSystem<TerrainFusionMultiTile> paths(dir.path());
    const auto last = writeAndKill(
        [&] { return std::make_shared<fw::TileManagerFileSystem<TerrainFusionMultiTile>>(dir.path()); }, 24);
    ASSERT_EQ(int(last.size()), kKeys);
    for (const auto& [k, v] : last) {
        const TileKey key = keyOf(k);
        expectVersion(tileFileVersion(paths.tilePath(key.x, key.y, key.z)), v, "key " + std::to_string(k));
    }
}

TEST(StoreKill, MultiFileStoreKeepsEveryReportedTile) {
    testsupport::TempDir dir;
    const std::string folder = dir.path() + "/tiles", dom = dir.path() + "/dom", dsm = dir.path() + "/dsm";
    const auto last =
        writeAndKill([&] { return std::make_shared<TileManagerFileSystemMultiFile>(folder, dom, dsm); }, 24);
    ASSERT_EQ(int(last.size()), kKeys);
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    for (const auto& [k, v] : last) {
        const TileKey key = keyOf(k);
        const std::string what = "key " + std::to_string(k);
        expectVersion(tileFileVersion(store.tilePath(key.x, key.y, key.z)), v, what + " .tile");
        expectVersion(pngVersion(store.domTilePath(key.x, key.y, key.z)), v % 250, what + " PNG");
        expectVersion(tiffVersion(store.dsmTilePath(key.x, key.y, key.z)), v, what + " TIFF");
        EXPECT_NE(store.GetTile(key.x, key.y, key.z), nullptr) << what;
    }
}

TEST(StoreKill, MbtilesDatabasesStayWholeAndHoldEveryReportedTile) {
    if (kSqlite3.empty() || !fs::exists(kSqlite3)) GTEST_SKIP() << "sqlite3 shell not installed";
    testsupport::TempDir dir;
    const auto last = writeAndKill(
        [&] { return std::make_shared<TileManagerFileSystemMultiFileMbtiles>(dir.path(), "", ""); }, 8);
    ASSERT_FALSE(last.empty());
    const auto shell = [&](const std::string& db, const std::string& statement) {
        const auto r = testsupport::runProcess({kSqlite3, db, statement}, "", 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    for (const std::string name : {"dom.mbtiles", "dsm.mbtiles", "tile.db"}) {
        const std::string db = dir.path() + "/" + name;
        SCOPED_TRACE(name);
        EXPECT_EQ(shell(db, "PRAGMA integrity_check;"), "ok\n");
        for (const auto& [k, v] : last) {
            const TileKey key = keyOf(k);
            const int row = TileManagerFileSystemMultiFileMbtiles::tmsRow(key.y, key.z);
            const std::string where = " FROM tiles WHERE zoom_level=" + std::to_string(key.z) +
                                      " AND tile_column=" + std::to_string(key.x) +
                                      " AND tile_row=" + std::to_string(row) + ";";
            ASSERT_EQ(shell(db, "SELECT count(*)" + where), "1\n") << "key " << k;
            const std::string file = dir.file("blob" + std::to_string(k));
            shell(db, "SELECT writefile('" + file + "', tile_data)" + where);
            const std::string what = name + " key " + std::to_string(k);
            if (name == std::string("dom.mbtiles"))
                expectVersion(pngVersion(file), v % 250, what);
            else if (name == std::string("dsm.mbtiles"))
                expectVersion(tiffVersion(file), v, what);
            else
                expectVersion(tileFileVersion(file), v, what);
        }
    }
}
