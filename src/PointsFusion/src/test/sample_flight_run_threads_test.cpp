// zel_mapper with the dense back end on the bundled sample flight, its
// terrain node a stand-in: the job ends done with its point-cloud tileset.
#include "testsupport/example_task.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

using testsupport::exampleTask;
using testsupport::readFile;

size_t countLines(const std::vector<std::string>& lines, const std::string& part) {
    size_t n = 0;
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos) ++n;
    return n;
}

TEST(SampleFlightDense, ExampleTaskEndsDoneWithItsPointCloud) {
    testsupport::TempDir dir("dense-flight-test");
    const fs::path flight = dir.file("flight"), home = dir.file("home");
    fs::create_directories(home);
    const auto made = testsupport::runProcess({testsupport::kSampleFlightPath, flight.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;

    const auto run =
        testsupport::runMapper(testsupport::kZelMapperStandInTerrainPath, exampleTask(home, flight), "", 300.0);
    const testsupport::ProcessResult& r = run.process;
    const testsupport::MapperLines& lines = run.lines;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(lines.errors.empty()) << r.err;
    ASSERT_FALSE(lines.status.empty()) << r.err;
    const json& last = lines.status.back();
    EXPECT_EQ(last["state"], 12) << r.err;

    // The point-cloud item is finished and names a tileset that was written.
    const json* cloud = nullptr;
    for (const json& item : last["output"])
        if (item.value("id", "") == "pointcloud_01") cloud = &item;
    ASSERT_NE(cloud, nullptr) << last.dump();
    const fs::path tileset = home / "dense" / "tileset.json";
    ASSERT_TRUE(fs::exists(tileset)) << r.err;
    const json master = json::parse(readFile(tileset));
    EXPECT_FALSE(master["root"]["children"].empty());

    // Frames whose pair depth succeeded and that a neighbour checked reached
    // the terrain node, in id order, each with points, before it was released.
    std::vector<int> ids;
    for (const auto& line : lines.text) {
        const size_t at = line.find("stand-in terrain: frame ");
        if (at == std::string::npos) continue;
        ids.push_back(std::stoi(line.substr(at + 24)));
        EXPECT_EQ(line.find(", 0 points"), std::string::npos) << line;
    }
    EXPECT_GE(ids.size(), 2u) << r.err;
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) && std::adjacent_find(ids.begin(), ids.end()) == ids.end());
    EXPECT_EQ(countLines(lines.text, "stand-in terrain: released after " + std::to_string(ids.size()) + " frames"), 1u);
    EXPECT_EQ(countLines(lines.text, "cant find library terrainfusion"), 0u);
    // "Map Fusion" progress: the job's whole progress ends full.
    EXPECT_NEAR(last["progress"]["total"].get<double>(), 1.0, 1e-6);
}

// The example task makes its maps: DOM and DSM tiles
// that OpenCV reads, and the point-cloud tileset, all listed as finished.
TEST(SampleFlightDense, ExampleTaskMakesItsMaps) {
    testsupport::TempDir dir("dense-flight-test");
    const fs::path flight = dir.file("flight"), home = dir.file("home");
    fs::create_directories(home);
    ASSERT_EQ(testsupport::runProcess({testsupport::kSampleFlightPath, flight.string()}).exitCode, 0);
    const auto run = testsupport::runMapper(testsupport::kZelMapperPath, exampleTask(home, flight), "", 300.0);
    const testsupport::ProcessResult& r = run.process;
    const testsupport::MapperLines& lines = run.lines;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(lines.errors.empty()) << r.err;
    ASSERT_FALSE(lines.status.empty()) << r.err;
    const json& last = lines.status.back();
    EXPECT_EQ(last["state"], 12) << r.err;
    for (const char* id : {"dom_01", "dsm_01", "pointcloud_01"}) {
        const json* found = nullptr;
        for (const json& item : last["output"])
            if (item.value("id", "") == id) found = &item;
        EXPECT_NE(found, nullptr) << id << " " << last.dump();
    }
    EXPECT_TRUE(fs::exists(home / "dense" / "tileset.json"));

    size_t domTiles = 0, dsmTiles = 0, heights = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home / "dom")) {
        if (entry.path().extension() != ".png") continue;
        const cv::Mat tile = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(tile.empty()) << entry.path();
        EXPECT_EQ(tile.size(), cv::Size(256, 256)) << entry.path();
        ++domTiles;
    }
    for (const auto& entry : fs::recursive_directory_iterator(home / "dsm")) {
        if (entry.path().extension() != ".tiff") continue;
        const cv::Mat tile = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(tile.empty()) << entry.path();
        EXPECT_EQ(tile.type(), CV_32FC1) << entry.path();
        EXPECT_EQ(tile.size(), cv::Size(64, 64)) << entry.path();
        for (float h : cv::Mat_<float>(tile))
            if (h > -1e8f) ++heights;
        ++dsmTiles;
    }
    EXPECT_GT(domTiles, 0u);
    EXPECT_GT(dsmTiles, 0u);
    EXPECT_GT(heights, 0u);
}

}  // namespace
