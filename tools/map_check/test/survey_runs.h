#pragma once
// What the end-to-end tests of the maps share: writing a survey with
// sample_flight, running zel_mapper on a dataset with a task of the tests,
// the checks of a run that ended well, and a DSM's heights at a zoom.
// Needs SAMPLE_FLIGHT_PATH and ZEL_MAPPER_PATH.
#include "map_check/web_tiles.h"
#include "testsupport/files.h"
#include "testsupport/mapper_lines.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace surveyruns {

namespace fs = std::filesystem;
using nlohmann::json;

// A survey of sample_flight ("small" unless named) with its truth, in the
// folder of its name; with metadata in the JPEGs when the live dataset is to
// be fed from image_meta's lines.
inline fs::path writeSurvey(const testsupport::TempDir& dir, bool embedMetadata, const std::string& name = "small") {
    const fs::path folder = dir.file(name == "small" ? "survey" : name);
    std::vector<std::string> argv{SAMPLE_FLIGHT_PATH, "--survey", name};
    if (embedMetadata) argv.push_back("--embed-metadata");
    argv.push_back(folder.string());
    const auto r = testsupport::runProcess(argv, "", 300.0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return folder;
}

struct MapperRun {
    testsupport::ProcessResult process;
    testsupport::MapperLines lines;
    fs::path home;
};

// The task's "locate" unless a test gives its own.
inline json frontEndMethod() { return {{"method", "legacy_sfm"}}; }

// environment: NAME=VALUE settings given to zel_mapper through env(1), for
// keys that the configuration store reads from the environment.
inline MapperRun runMapper(const fs::path& home, const json& dataset, const std::string& input,
                           const std::vector<std::string>& environment = {}, const json& locate = frontEndMethod()) {
    fs::create_directories(home);
    const json task = {{"home", home.string()},
                       {"dataset", dataset},
                       {"locate", locate},
                       {"dense", {{"method", "legacy_pf"}}},
                       {"dom", json::object()},
                       {"dsm", json::object()}};
    MapperRun run;
    run.home = home;
    std::vector<std::string> argv;
    if (!environment.empty()) {
        argv.push_back(testsupport::findOnPath("env"));
        EXPECT_FALSE(argv.front().empty()) << "env is not on PATH";
        argv.insert(argv.end(), environment.begin(), environment.end());
    }
    for (const std::string& a : {std::string(ZEL_MAPPER_PATH), std::string("--task"),
                                 testsupport::base64Encode(task.dump())})
        argv.push_back(a);
    run.process = testsupport::runProcess(argv, input, 600.0);
    run.lines = testsupport::parseMapperLines(run.process.err);
    return run;
}

// The file dataset of a records file.
inline MapperRun runRecordsFile(const fs::path& home, const fs::path& records,
                                const std::vector<std::string>& environment = {},
                                const json& locate = frontEndMethod()) {
    return runMapper(home, {{"live", false}, {"form", "zel_frame"}, {"uri", records.string()}}, "", environment,
                     locate);
}

// The file dataset of a survey folder.
inline MapperRun runFileDataset(const fs::path& home, const fs::path& survey,
                                const std::vector<std::string>& environment = {}) {
    return runRecordsFile(home, survey / "frames.json", environment);
}

inline const json* outputItem(const json& status, const std::string& id) {
    for (const json& item : status["output"])
        if (item.value("id", "") == id) return &item;
    return nullptr;
}

// The run ended done, without error lines, with its three tilesets listed.
inline void expectDoneWithTilesets(const MapperRun& run) {
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_TRUE(run.lines.errors.empty()) << run.process.err;
    ASSERT_FALSE(run.lines.status.empty()) << run.process.err;
    const json& last = run.lines.status.back();
    EXPECT_EQ(last["state"], 12) << run.process.err;
    for (const char* id : {"dom_01", "dsm_01", "pointcloud_01"})
        EXPECT_NE(outputItem(last, id), nullptr) << id << " missing from " << last.dump();
    // Progress was shown while it ran.
    size_t running = 0;
    for (const json& s : run.lines.status)
        if (s["state"] == 4) ++running;
    EXPECT_GE(running, 3u);
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

}  // namespace surveyruns
