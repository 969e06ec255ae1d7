// The job's word on whole runs of zel_mapper over the small survey: a normal
// run ends with every tileset at 12, a run that could not write its maps
// (a 2 MB or 40 MB home, tile files failing with ENOSPC, a read-only dom/)
// or made none (frames out of order, all at one position) ends in -14 with
// its ERROR, the final line giving 12 to the tilesets whole on disk alone,
// and a rerun of one strip in the survey's home sets the earlier maps aside
// instead of blending them. What the home holds is read with pngcheck,
// gdalinfo, OpenCV and loaders.gl.
// The mounts are made in a mount namespace of the test process; where that
// is not allowed the rows skip with the reason.
#include "testsupport/files.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>

using nlohmann::json;
using testsupport::findOnPath;
using testsupport::MapperRun;
using testsupport::readFile;
using testsupport::runProcess;
namespace fs = std::filesystem;

namespace {

// The small survey, written once for every row.
const fs::path& survey() {
    static testsupport::TempDir dir("zel-word-survey");
    static const fs::path folder = [] {
        const fs::path f = fs::path(dir.path()) / "survey";
        const auto r = runProcess({testsupport::kSampleFlightPath, "--survey", "small", f.string()}, "", 300.0);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return f;
    }();
    return folder;
}

json surveyRecords() { return json::parse(readFile(survey() / "frames.json")); }

std::string writeRecords(const testsupport::TempDir& dir, const json& records) {
    return dir.write("frames.json", records.dump());
}

// zel_mapper on a file dataset in home; extra is merged over the task,
// environment holds NAME=VALUE settings given through env(1).
MapperRun mapDataset(const fs::path& home, const std::string& datasetFile, const json& extra = json::object(),
                     const std::vector<std::string>& environment = {}) {
    json task = {{"home", home.string()}, {"dataset", {{"form", "zel_frame"}, {"uri", datasetFile}}}};
    task.merge_patch(extra);
    return testsupport::runMapper(testsupport::kZelMapperPath, task.dump(), "", 600.0, environment);
}

// ---- mounts -----------------------------------------------------------------

// This process in a mount namespace of its own, mounts kept from the host's;
// "" when done, else why not.
const std::string& privateMounts() {
    static const std::string why = []() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("making the mounts private: ") + std::strerror(errno);
        return std::string();
    }();
    return why;
}

// A mount made for one row, undone when the row ends.
class Mount {
public:
    // A tmpfs of that many KiB on folder.
    static std::string tmpfs(const fs::path& folder, int kib, Mount& out) {
        if (!privateMounts().empty()) return privateMounts();
        const std::string options = "size=" + std::to_string(kib) + "k";
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return std::string("mounting a tmpfs: ") + std::strerror(errno);
        out.at_ = folder;
        return std::string();
    }
    // folder bound read-only onto itself.
    static std::string readOnly(const fs::path& folder, Mount& out) {
        if (!privateMounts().empty()) return privateMounts();
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return std::string("binding a folder: ") + std::strerror(errno);
        out.at_ = folder;
        if (::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return std::string("remounting read-only: ") + std::strerror(errno);
        return std::string();
    }
    Mount() = default;
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() {
        if (!at_.empty()) ::umount2(at_.c_str(), MNT_DETACH);
    }

private:
    fs::path at_;
};

// ---- what the home holds ------------------------------------------------------

std::vector<fs::path> filesEndingIn(const fs::path& folder, const std::string& ending) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file() && name.size() >= ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

const json* outputItem(const json& status, const std::string& id) {
    for (const json& item : status["output"])
        if (item.value("id", "") == id) return &item;
    return nullptr;
}

// pngcheck over every PNG: whether all are whole.
void expectPngsWhole(const std::vector<fs::path>& pngs) {
    const std::string pngcheck = findOnPath("pngcheck");
    ASSERT_FALSE(pngcheck.empty()) << "pngcheck is missing (scripts/setup.sh installs it)";
    std::vector<std::string> argv{pngcheck, "-q"};
    for (const auto& p : pngs) argv.push_back(p.string());
    const auto r = runProcess(argv);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

void expectTiffReadByGdal(const fs::path& tiff) {
    const std::string gdalinfo = findOnPath("gdalinfo");
    ASSERT_FALSE(gdalinfo.empty()) << "gdalinfo is missing (scripts/setup.sh installs gdal-bin)";
    const auto r = runProcess({gdalinfo, "-json", tiff.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json info = json::parse(r.out);
    EXPECT_EQ(info["size"], json::array({64, 64}));
}

// The point cloud read by loaders.gl: {"frames": [{"uri", "pnts", "points"}]};
// a null value when it cannot be read, a failure too unless mayFail.
json readPointCloud(const fs::path& folder, bool mayFail = false) {
    const std::string node = findOnPath("node");
    EXPECT_FALSE(node.empty()) << "node is not on PATH; scripts/setup.sh installs it";
    if (node.empty()) return json();
    const auto r = runProcess(
        {node, testsupport::kPointCloudReaderPath, testsupport::kNodeModulesPath, folder.string(), "1000"}, "", 300.0);
    if (!mayFail) {
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    if (r.exitCode != 0) return json();
    return json::parse(r.out, nullptr, false);
}

// Whether a .pnts file is whole: its header's byteLength is its size.
bool pntsWhole(const fs::path& file) {
    const std::string bytes = readFile(file);
    if (bytes.size() < 28 || bytes.substr(0, 4) != "pnts") return false;
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + 8, 4);
    return length == bytes.size();
}

// Every .pnts file on disk is whole.
size_t expectPntsWhole(const fs::path& folder) {
    const auto files = filesEndingIn(folder, ".pnts");
    for (const auto& f : files) EXPECT_TRUE(pntsWhole(f)) << f;
    return files.size();
}

// Pixels with some opacity in the DOM tiles of a zoom (OpenCV).
long domCoverage(const fs::path& home, int zoom) {
    long covered = 0;
    for (const auto& png : filesEndingIn(home / "dom" / std::to_string(zoom), ".png")) {
        const cv::Mat tile = cv::imread(png.string(), cv::IMREAD_UNCHANGED);
        if (tile.channels() != 4) continue;
        std::vector<cv::Mat> planes;
        cv::split(tile, planes);
        covered += cv::countNonZero(planes[3]);
    }
    return covered;
}

std::vector<std::string> frameFolders(const fs::path& dense) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dense, ec))
        if (e.is_directory()) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// ---- the final line against the disk ------------------------------------------

// The paths of the files below folder, relative to it.
std::vector<std::string> relativeFiles(const fs::path& folder, const std::string& ending) {
    std::vector<std::string> out;
    for (const auto& f : filesEndingIn(folder, ending)) out.push_back(f.lexically_relative(folder).string());
    return out;
}

// What a run of the whole survey without a fault leaves: the DOM's and DSM's
// tiles and the frame folders of the point cloud (the same on every run).
struct WholeMaps {
    std::vector<std::string> pngs, tiffs, frames;
};
const WholeMaps& wholeMaps() {
    static testsupport::TempDir dir("zel-word-whole");
    static const WholeMaps maps = [] {
        const fs::path home = fs::path(dir.path()) / "home";
        fs::create_directories(home);
        const MapperRun run = mapDataset(home, (survey() / "frames.json").string());
        EXPECT_EQ(run.lastState(), 12) << run.head();
        WholeMaps m{relativeFiles(home / "dom", ".png"), relativeFiles(home / "dsm", ".tiff"), frameFolders(home / "dense")};
        EXPECT_FALSE(m.pngs.empty());
        EXPECT_FALSE(m.frames.empty());
        return m;
    }();
    return maps;
}

// Whether each tileset is whole on disk, judged by its readers against the
// run without a fault: every tile of that run there and read by pngcheck or
// gdalinfo; the point cloud read by loaders.gl with every frame of that run,
// each with its five whole .pnts.
std::map<std::string, bool> wholeOnDisk(const fs::path& home) {
    const WholeMaps& whole = wholeMaps();
    std::map<std::string, bool> out;
    const auto pngs = filesEndingIn(home / "dom", ".png");
    bool dom = relativeFiles(home / "dom", ".png") == whole.pngs;
    if (dom) {
        std::vector<std::string> argv{findOnPath("pngcheck"), "-q"};
        for (const auto& p : pngs) argv.push_back(p.string());
        dom = !argv[0].empty() && runProcess(argv).exitCode == 0;
    }
    out["dom_01"] = dom;
    bool dsm = relativeFiles(home / "dsm", ".tiff") == whole.tiffs;
    for (const auto& tiff : filesEndingIn(home / "dsm", ".tiff")) {
        if (!dsm) break;
        const auto r = runProcess({findOnPath("gdalinfo"), "-json", tiff.string()});
        const json info = json::parse(r.out, nullptr, false);
        dsm = r.exitCode == 0 && info.is_object() && info["size"] == json::array({64, 64});
    }
    out["dsm_01"] = dsm;
    bool cloud = frameFolders(home / "dense") == whole.frames;
    if (cloud) {
        const json read = readPointCloud(home / "dense", true);
        cloud = read.is_object() && read["frames"].size() == whole.frames.size();
        for (const json& frame : cloud ? read["frames"] : json::array()) cloud = cloud && frame["pnts"].size() == 5u;
        for (const auto& f : filesEndingIn(home / "dense", ".pnts")) cloud = cloud && pntsWhole(f);
    }
    out["pointcloud_01"] = cloud;
    return out;
}

// The final line's item states say what is on disk: 12 for each tileset
// whole there, 10 or -1 for every other (or not listed). Returns which were whole.
std::map<std::string, bool> expectStatesTrueToDisk(const MapperRun& run, const fs::path& home) {
    const std::map<std::string, bool> whole = wholeOnDisk(home);
    for (const auto& [id, isWhole] : whole) {
        const json* item = outputItem(run.last(), id);
        std::cout << id << ": " << (isWhole ? "whole" : "not whole") << " on disk, state "
                  << (item ? (*item)["state"].dump() : "not listed") << std::endl;
        if (isWhole) {
            EXPECT_NE(item, nullptr) << id << " whole but not listed in " << run.last().dump();
            if (item) {
                EXPECT_EQ((*item)["state"], 12) << id;
            }
        } else if (item) {
            EXPECT_TRUE((*item)["state"] == 10 || (*item)["state"] == -1) << item->dump();
        }
    }
    return whole;
}

// ---- rows ---------------------------------------------------------------------

struct Row {
    std::string id;
    std::string name;
    std::function<void(const testsupport::TempDir&)> check;
};

void expectEveryTilesetDone(const MapperRun& run) {
    ASSERT_FALSE(run.lines.status.empty()) << run.head();
    EXPECT_EQ(run.lastState(), 12) << run.head();
    EXPECT_EQ(run.last()["progress"]["total"].get<double>(), 1.0);
    for (const char* id : {"dom_01", "dsm_01", "pointcloud_01"}) {
        const json* item = outputItem(run.last(), id);
        ASSERT_NE(item, nullptr) << id << " missing from " << run.last().dump();
        EXPECT_EQ((*item)["state"], 12) << id;
    }
    // Progress reaches 1.0 in the final line only.
    for (size_t i = 0; i + 1 < run.lines.status.size(); ++i)
        EXPECT_LT(run.lines.status[i]["progress"]["total"].get<double>(), 1.0) << run.lines.status[i].dump();
}

// A row whose every record is changed (and the task extended) so that no
// frame gives depth: -14 with the ERROR that says so, no tile on disk.
Row nothingMade(std::string id, std::string name, std::function<void(json&)> change, json extra = json::object()) {
    return {std::move(id), std::move(name), [change, extra](const testsupport::TempDir& dir) {
                json records = surveyRecords();
                for (json& r : records) change(r);
                const fs::path home = dir.file("home");
                fs::create_directories(home);
                const MapperRun run = mapDataset(home, writeRecords(dir, records), extra);
                EXPECT_EQ(run.lastState(), -14) << run.head();
                EXPECT_TRUE(run.loggedStart("No map could be made: no frame gave depth.")) << run.head();
                EXPECT_TRUE(run.last()["output"].empty()) << run.last().dump();
                EXPECT_TRUE(filesEndingIn(home / "dom", ".png").empty());
            }};
}

// Every record changed so that the dataset refuses it, with the ERROR given.
Row recordsRefused(std::string id, std::string name, std::function<void(json&)> change, std::string error) {
    return {std::move(id), std::move(name), [change, error](const testsupport::TempDir& dir) {
                json records = surveyRecords();
                for (json& r : records) change(r);
                const fs::path home = dir.file("home");
                fs::create_directories(home);
                const MapperRun run = mapDataset(home, writeRecords(dir, records));
                EXPECT_EQ(run.lastState(), -14) << run.head();
                size_t refused = 0;
                for (const std::string& line : run.lines.text) refused += line == error ? 1 : 0;
                EXPECT_EQ(refused, records.size()) << run.head();
                EXPECT_TRUE(run.loggedStart("Insufficient frames for mapping: 0")) << run.head();
                EXPECT_TRUE(filesEndingIn(home / "dom", ".png").empty());
            }};
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"NormalRun", "a normal run ends with every tileset at 12, its files whole",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             const MapperRun run = mapDataset(home, (survey() / "frames.json").string());
             expectEveryTilesetDone(run);
             // Terrain fusion's share of the progress waits for its last flush:
             // every status line before it stays below the job's 0.99.
             bool flushed = false;
             size_t before = 0;
             for (const std::string& line : testsupport::splitLines(run.process.err)) {
                 if (line.rfind("Writing tiles...", 0) == 0) flushed = true;
                 if (flushed || line.rfind("{\"output\"", 0) != 0) continue;
                 const json status = json::parse(line, nullptr, false);
                 if (!status.is_object() || !status.contains("progress")) continue;
                 ++before;
                 EXPECT_LT(status["progress"]["total"].get<double>(), 0.99) << line;
             }
             EXPECT_TRUE(flushed) << "terrain fusion's last flush not logged";
             EXPECT_GT(before, 0u);
             const auto pngs = filesEndingIn(home / "dom", ".png");
             EXPECT_FALSE(pngs.empty());
             expectPngsWhole(pngs);
             const auto tiffs = filesEndingIn(home / "dsm", ".tiff");
             ASSERT_FALSE(tiffs.empty());
             expectTiffReadByGdal(tiffs.front());
             const json cloud = readPointCloud(home / "dense");
             ASSERT_TRUE(cloud.is_object()) << "loaders.gl could not read the point cloud";
             EXPECT_EQ(cloud["frames"].size(), frameFolders(home / "dense").size());
             for (const json& frame : cloud["frames"]) EXPECT_EQ(frame["pnts"].size(), 5u) << frame.dump();
             EXPECT_TRUE(filesEndingIn(home, ".tmp").empty());
             // Judged by their readers against another run, all three are whole.
             for (const auto& [id, whole] : expectStatesTrueToDisk(run, home)) EXPECT_TRUE(whole) << id;
         }},
        {"StripRerun", "a rerun of the first strip in the survey's home does not blend with the full survey",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             const MapperRun full = mapDataset(home, (survey() / "frames.json").string());
             ASSERT_EQ(full.lastState(), 12) << full.head();
             const long fullCoverage = domCoverage(home, 19);
             const size_t fullFrames = frameFolders(home / "dense").size();
             json strip = json::array();
             const json records = surveyRecords();
             for (size_t i = 0; i < records.size() / 2; ++i) strip.push_back(records[i]);
             const MapperRun rerun = mapDataset(home, writeRecords(dir, strip));
             expectEveryTilesetDone(rerun);
             const long stripCoverage = domCoverage(home, 19);
             std::cout << "zoom-19 DOM coverage: full survey " << fullCoverage << " pixels, strip rerun "
                       << stripCoverage << " pixels" << std::endl;
             EXPECT_LT(stripCoverage, fullCoverage * 9 / 10);
             // The point cloud lists exactly the frame folders on disk.
             const json cloud = readPointCloud(home / "dense");
             ASSERT_TRUE(cloud.is_object());
             const auto folders = frameFolders(home / "dense");
             EXPECT_EQ(cloud["frames"].size(), folders.size());
             EXPECT_LT(folders.size(), fullFrames);
             // The full survey's maps were set aside, whole.
             std::vector<fs::path> asides;
             for (const auto& e : fs::directory_iterator(home / "previous_runs")) asides.push_back(e.path());
             ASSERT_EQ(asides.size(), 1u);
             EXPECT_EQ(frameFolders(asides[0] / "dense").size(), fullFrames);
             EXPECT_EQ(domCoverage(asides[0], 19), fullCoverage);
             EXPECT_TRUE(fs::exists(asides[0] / "log.txt"));
             EXPECT_TRUE(rerun.loggedStart("The previous run's products were set aside in " + asides[0].string()));
         }},
        {"TinyHome", "a 2 MB home: no tileset at 12, the job ends in -14, no .pnts truncated",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             Mount mount;
             const std::string why = Mount::tmpfs(home, 2048, mount);
             if (!why.empty()) GTEST_SKIP() << "no tmpfs home: " << why;
             const MapperRun run = mapDataset(home, (survey() / "frames.json").string());
             ASSERT_FALSE(run.lines.status.empty()) << run.head();
             EXPECT_EQ(run.lastState(), -14) << run.head();
             EXPECT_TRUE(run.loggedStart("No map could be made: ") || run.loggedStart("Maps not written whole: "))
                 << run.head();
             for (const json& item : run.last()["output"]) EXPECT_NE(item["state"], 12) << item.dump();
             // Terrain fusion counts the tiles it could not write in both tilesets.
             for (const std::string id : {"dom_01", "dsm_01"}) {
                 const std::string prefix = id + " was not written whole: ";
                 const auto said = std::find_if(run.lines.text.begin(), run.lines.text.end(), [&](const std::string& t) {
                     return t.rfind(prefix, 0) == 0 && t.find(" files could not be written.") != std::string::npos;
                 });
                 EXPECT_NE(said, run.lines.text.end()) << id << "'s lost tiles not reported\n" << run.head();
                 if (said != run.lines.text.end()) std::cout << *said << std::endl;
             }
             std::cout << "last line: " << run.last().dump() << std::endl;
             const size_t pnts = expectPntsWhole(home / "dense");
             const size_t pngs = filesEndingIn(home / "dom", ".png").size();
             std::cout << "2 MB home: " << pnts << " whole .pnts, " << pngs << " PNG, "
                       << filesEndingIn(home / "dsm", ".tiff").size() << " TIFF" << std::endl;
             EXPECT_TRUE(filesEndingIn(home / "dense", ".tmp").empty());
         }},
        {"DiskFullAtATile", "tile files fail with ENOSPC from the 10th on: -14, the whole point cloud alone at 12",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             const MapperRun run = mapDataset(home, (survey() / "frames.json").string(), json::object(),
                                              {"ZEL_TEST_TILE_FILES_ENOSPC_FROM=10"});
             ASSERT_FALSE(run.lines.status.empty()) << run.head();
             EXPECT_EQ(run.lastState(), -14) << run.head();
             EXPECT_TRUE(run.loggedStart("Maps not written whole: dom_01, dsm_01.")) << run.head();
             EXPECT_NE(run.process.err.find("No space left on device"), std::string::npos) << run.head();
             const auto whole = expectStatesTrueToDisk(run, home);
             EXPECT_FALSE(whole.at("dom_01"));
             EXPECT_FALSE(whole.at("dsm_01"));
             EXPECT_TRUE(whole.at("pointcloud_01"));
             // The tiles written before the disk filled are whole, and no part of one is left.
             const auto pngs = filesEndingIn(home / "dom", ".png");
             ASSERT_FALSE(pngs.empty());
             expectPngsWhole(pngs);
             EXPECT_TRUE(filesEndingIn(home, ".part").empty());
         }},
        {"FortyMBHome", "a 40 MB home: -14, each tileset at 12 only when it is whole on disk",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             Mount mount;
             const std::string why = Mount::tmpfs(home, 40 * 1024, mount);
             if (!why.empty()) GTEST_SKIP() << "no tmpfs home: " << why;
             const MapperRun run = mapDataset(home, (survey() / "frames.json").string());
             ASSERT_FALSE(run.lines.status.empty()) << run.head();
             EXPECT_EQ(run.lastState(), -14) << run.head();
             std::cout << "last line: " << run.last().dump() << std::endl;
             const auto whole = expectStatesTrueToDisk(run, home);
             EXPECT_FALSE(whole.at("dom_01") && whole.at("dsm_01") && whole.at("pointcloud_01"));
             EXPECT_TRUE(filesEndingIn(home / "dense", ".tmp").empty());
         }},
        {"ReadOnlyDom", "a read-only dom/ in a writable home is refused at start-up",
         [](const testsupport::TempDir& dir) {
             const fs::path home = dir.file("home");
             fs::create_directories(home / "dom");
             Mount mount;
             const std::string why = Mount::readOnly(home / "dom", mount);
             if (!why.empty()) GTEST_SKIP() << "no read-only dom/: " << why;
             const MapperRun run = mapDataset(home, (survey() / "frames.json").string());
             EXPECT_EQ(run.lastState(), -14) << run.head();
             EXPECT_TRUE(run.loggedStart("Output folder cannot be written: " + (home / "dom").string() + ": "))
                 << run.head();
             EXPECT_FALSE(run.loggedStart("Track time cost")) << "the front end ran first";
             EXPECT_TRUE(fs::is_empty(home / "dom"));
         }},
        {"Shuffled", "frames listed out of order: nothing made, -14",
         [](const testsupport::TempDir& dir) {
             // The dense stage pairs neighbours in the list. Zig-zagging across
             // the two strips (the second flown back) makes every neighbour a
             // frame of the other strip beside it, seen the other way round:
             // about 1 % of a pair's pixels match, no frame gives depth.
             const json records0 = surveyRecords();
             json records = json::array();
             for (int i : {0, 11, 1, 10, 2, 9, 3, 8, 4, 7, 5, 6}) records.push_back(records0[static_cast<size_t>(i)]);
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             const MapperRun run = mapDataset(home, writeRecords(dir, records));
             EXPECT_EQ(run.lastState(), -14) << run.head();
             EXPECT_TRUE(run.loggedStart("No map could be made: no frame gave depth.")) << run.head();
             EXPECT_TRUE(run.last()["output"].empty()) << run.last().dump();
             EXPECT_TRUE(filesEndingIn(home / "dom", ".png").empty());
         }},
        recordsRefused("FocalBelowZero", "a focal length below 0 on every frame: every record refused, -14",
                       [](json& r) { r["calibration"]["fx"] = r["calibration"]["fy"] = -5.0; },
                       "Failed to load camera calibration: fx is not a positive number of at most 10000000 (-5)"),
        recordsRefused("FocalHuge", "a focal length of 1e300 on every frame: every record refused, -14",
                       [](json& r) { r["calibration"]["fx"] = r["calibration"]["fy"] = 1e300; },
                       "Failed to load camera calibration: fx is not a positive number of at most 10000000 (1e+300)"),
        nothingMade("ConsistentViewsOutOfReach", "\"pointsfusion.min_consistent_views\" at 100000: nothing made, -14",
                    [](json&) {}, {{"dense", {{"specific", {{"pointsfusion.min_consistent_views", 100000}}}}}}),
        {"SinglePosition", "all frames at one position: nothing made, -14",
         [](const testsupport::TempDir& dir) {
             json records = surveyRecords();
             for (json& r : records) r["gps"] = records[0]["gps"];
             const fs::path home = dir.file("home");
             fs::create_directories(home);
             const MapperRun run = mapDataset(home, writeRecords(dir, records));
             EXPECT_EQ(run.lastState(), -14) << run.head();
             EXPECT_TRUE(run.loggedStart("No map could be made: ")) << run.head();
             EXPECT_TRUE(filesEndingIn(home / "dom", ".png").empty());
         }},
    };
    return table;
}

}  // namespace

class ZelMapperJobWordSurvey : public ::testing::TestWithParam<size_t> {};

TEST_P(ZelMapperJobWordSurvey, Table) {
    const Row& row = rows()[GetParam()];
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(fs::exists(survey() / "frames.json"));
    testsupport::TempDir dir("zel-word-run");
    row.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Rows, ZelMapperJobWordSurvey, ::testing::Range<size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return rows()[info.param].id; });
