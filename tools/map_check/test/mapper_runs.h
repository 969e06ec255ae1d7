#pragma once
// What the end-to-end tests of the maps share: zel_mapper run as a host runs
// it (a task on its command line, a live dataset on standard input), its last
// status line, the frames that reach the point cloud or are named as left out
// by the log, and the point cloud as loaders.gl reads it.
//

#include "map_check/web_tiles.h"
#include "testsupport/files.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A run of zel_mapper and the home folder it mapped into.
struct MapperRun : testsupport::MapperRun {
    std::filesystem::path home;
};

// A survey of sample_flight ("small" unless named) with its truth, in the
// folder of its name; with metadata in the JPEGs when the live dataset is to
// be fed from image_meta's lines.
inline std::filesystem::path writeSurvey(const testsupport::TempDir& dir, bool embedMetadata,
                                         const std::string& name = "small") {
    const std::filesystem::path folder = dir.file(name == "small" ? "survey" : name);
    std::vector<std::string> argv{testsupport::kSampleFlightPath, "--survey", name};
    if (embedMetadata) argv.push_back("--embed-metadata");
    argv.push_back(folder.string());
    const auto r = testsupport::runProcess(argv, "", 300.0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return folder;
}

// The task's "locate" unless a test gives its own.
inline nlohmann::json frontEndMethod() { return {{"method", "legacy_sfm"}}; }

// environment: NAME=VALUE settings given to zel_mapper through env(1), for
// keys that the configuration store reads from the environment.
inline MapperRun runMapper(const std::filesystem::path& home, const nlohmann::json& dataset, const std::string& input,
                           const std::vector<std::string>& environment = {},
                           const nlohmann::json& locate = frontEndMethod()) {
    std::filesystem::create_directories(home);
    const nlohmann::json task = {{"home", home.string()},
                                 {"dataset", dataset},
                                 {"locate", locate},
                                 {"dense", {{"method", "legacy_pf"}}},
                                 {"dom", nlohmann::json::object()},
                                 {"dsm", nlohmann::json::object()}};
    if (!environment.empty()) {
        EXPECT_FALSE(testsupport::findOnPath("env").empty()) << "env is not on PATH";
    }
    return {testsupport::runMapper(testsupport::kZelMapperPath, task.dump(), input, 600.0, environment), home};
}

// The file dataset of a records file.
inline MapperRun runRecordsFile(const std::filesystem::path& home, const std::filesystem::path& records,
                                const std::vector<std::string>& environment = {},
                                const nlohmann::json& locate = frontEndMethod()) {
    return runMapper(home, {{"live", false}, {"form", "zel_frame"}, {"uri", records.string()}}, "", environment,
                     locate);
}

// The file dataset of a survey folder.
inline MapperRun runFileDataset(const std::filesystem::path& home, const std::filesystem::path& survey,
                                const std::vector<std::string>& environment = {}) {
    return runRecordsFile(home, survey / "frames.json", environment);
}

inline const nlohmann::json* outputItem(const nlohmann::json& status, const std::string& id) {
    for (const nlohmann::json& item : status["output"])
        if (item.value("id", "") == id) return &item;
    return nullptr;
}

// The run ended done, without error lines, with its three tilesets listed.
inline void expectDoneWithTilesets(const MapperRun& run) {
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_TRUE(run.lines.errors.empty()) << run.process.err;
    ASSERT_FALSE(run.lines.status.empty()) << run.process.err;
    const nlohmann::json& last = run.lines.status.back();
    EXPECT_EQ(last["state"], 12) << run.process.err;
    for (const char* id : {"dom_01", "dsm_01", "pointcloud_01"})
        EXPECT_NE(outputItem(last, id), nullptr) << id << " missing from " << last.dump();
    // Progress was shown while it ran.
    size_t running = 0;
    for (const nlohmann::json& s : run.lines.status)
        if (s["state"] == 4) ++running;
    EXPECT_GE(running, 3u);
}

// The frames with a folder in the point cloud, and the frames that WARNINGs
// of the log name as left out of the maps (a frame named twice is there twice).
struct FrameAccount {
    std::set<uint64_t> mapped;
    std::multiset<uint64_t> named;
};

inline FrameAccount accountFrames(const MapperRun& run) {
    FrameAccount account;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(run.home / "dense", error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory() && !name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
            account.mapped.insert(std::stoull(name));
    }
    std::istringstream log(testsupport::readFile(run.home / "log.txt"));
    const std::string marker = "] Frame ";
    for (std::string line; std::getline(log, line);) {
        const size_t at = line.find(marker);
        if (line.empty() || line[0] != 'W' || at == std::string::npos ||
            line.find(" left out of the maps: ") == std::string::npos)
            continue;
        account.named.insert(std::stoull(line.substr(at + marker.size())));
    }
    return account;
}

// Every frame of the run either has its folder in the point cloud or is
// named, once, by a WARNING of the log that says it is left out of the maps.
inline FrameAccount expectFramesLeftOutNamed(const MapperRun& run, size_t frames) {
    const FrameAccount a = accountFrames(run);
    std::printf("%zu of %zu frames in the point cloud; %zu named as left out:", a.mapped.size(), frames,
                a.named.size());
    for (uint64_t id : a.named) std::printf(" %llu", static_cast<unsigned long long>(id));
    std::printf("\n");
    EXPECT_EQ(a.mapped.size() + a.named.size(), frames);
    for (uint64_t id = 0; id < frames; ++id)
        EXPECT_EQ(a.mapped.count(id) + a.named.count(id), 1u) << "frame " << id;
    return a;
}

// The point cloud as loaders.gl reads it: every frame with its .pnts files,
// and every step-th point in earth-centred coordinates.
inline nlohmann::json readPointCloud(const std::filesystem::path& tileset, int step) {
    const std::string node = testsupport::findOnPath("node");
    EXPECT_FALSE(node.empty()) << "node is not on PATH; scripts/setup.sh installs it";
    const bool installed = std::filesystem::exists(std::filesystem::path(testsupport::kNodeModulesPath) / "@loaders.gl" / "3d-tiles");
    EXPECT_TRUE(installed) << "@loaders.gl/3d-tiles is missing from " << testsupport::kNodeModulesPath << "; run scripts/setup.sh";
    if (node.empty() || !installed) return nlohmann::json();
    const auto r = testsupport::runProcess(
        {node, testsupport::kPointCloudReaderPath, testsupport::kNodeModulesPath, tileset.string(), std::to_string(step)}, "", 120.0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

// The opaque pixels of a DOM mosaic.
inline cv::Mat opaque(const mapcheck::DomMosaic& m) {
    cv::Mat alpha;
    cv::extractChannel(m.image, alpha, 3);
    return alpha == 255;
}

// A run's heights at a zoom at or above its finest, as base cells of that
// zoom would hold them: the highest point of a cell is the highest of its
// finer cells' highest points.
inline std::map<std::pair<int, int>, double> heightsAt(const std::map<int, std::vector<mapcheck::TileName>>& dsm,
                                                      int zoom) {
    const int finest = dsm.rbegin()->first, k = finest - zoom;
    std::map<std::pair<int, int>, double> out;
    for (const mapcheck::DsmCell& c : mapcheck::readDsmCells(dsm.rbegin()->second, finest, finest)) {
        const auto [at, made] = out.emplace(std::make_pair(c.index.x >> k, c.index.y >> k), c.height);
        if (!made) at->second = std::max(at->second, c.height);
    }
    return out;
}

// Height differences b - a at a zoom, over the cells that both DSMs have.
struct HeightDifferences {
    std::vector<double> values;
    size_t cellsOfA = 0;  // a's cells at that zoom
};
inline HeightDifferences heightDifferences(const std::map<int, std::vector<mapcheck::TileName>>& a,
                                           const std::map<int, std::vector<mapcheck::TileName>>& b, int zoom) {
    const auto ha = heightsAt(a, zoom), hb = heightsAt(b, zoom);
    HeightDifferences d;
    d.cellsOfA = ha.size();
    for (const auto& [key, h] : ha) {
        const auto other = hb.find(key);
        if (other != hb.end()) d.values.push_back(other->second - h);
    }
    return d;
}

}  // namespace e2e
