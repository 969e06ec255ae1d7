// Benchmarks of terrain fusion: frames per second of the node on 1368 x 912
// dense frames, and the MBTiles batch write-back beside the sqlite3 shell
// inserting the same blobs in one transaction.

#include "../test/node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/terrain_fusion.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_mbtiles.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <unistd.h>

#include <opencv2/imgproc.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::string scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("tf-bench-" + std::to_string(::getpid())) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

struct Flight {
    synthetic::BoxScene scene;
    std::vector<std::shared_ptr<MapFrame>> frames;
    std::vector<std::vector<pt::Point3d>> points;
    std::string dir;

    explicit Flight(int count) : dir(scratch("frames")) {
        scene.width = 1368;
        scene.height = 912;
        scene.focal = 1700.0;
        for (int i = 0; i < count; ++i) {
            const double e = 12.0 * i, n = (i % 2) * 8.0;
            frames.push_back(scene.frame(i + 1, e, n, dir + "/f" + std::to_string(i) + ".jpg"));
            points.push_back(scene.points(e, n, 2));
        }
    }
};

void NodeFramesPerSecond(benchmark::State& state) {
    static Flight flight(8);
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const std::string work = scratch("node");
        nlohmann::json cfg = tftest::config(work, {{"terrainfusion.threads", threads}});
        cfg["zoom_level"] = 20;
        cfg["fetch_gps"] = true;
        const auto start = std::chrono::steady_clock::now();
        {
            auto node = createTerrainFusionInstance(cfg.dump(), nullptr, nullptr, nullptr);
            for (size_t i = 0; i < flight.frames.size(); ++i) {
                dv::Var message(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(flight.frames[i])),
                                                     dv::Var(flight.points[i])});
                node->call("point_cloud", &message);
            }
        }  // waits for every frame and writes the tiles
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(flight.frames.size()) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["points_per_frame"] = static_cast<double>(flight.points[0].size());
}
BENCHMARK(NodeFramesPerSecond)->Arg(1)->Arg(4)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

std::shared_ptr<TerrainFusionMultiTile> randomTile(int x, int y, int z, uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat small(16, 16, CV_8UC3);
    rng.fill(small, cv::RNG::UNIFORM, 0, 256);
    cv::Mat image;
    cv::resize(small, image, cv::Size(256, 256), 0, 0, cv::INTER_LINEAR);
    cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(200));
    cv::Mat elevation(64, 64, CV_32FC1);
    rng.fill(elevation, cv::RNG::UNIFORM, 0.0, 100.0);
    auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(image), fw::GImage(elevation), TileKey{x, y, z}, 1.0,
                                                         fw::GImage(weight), fw::GImage(), 0);
    tile->setModified(true);
    return tile;
}

constexpr int kBatchTiles = 200;

void MbtilesBatchWriteBack(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string dir = scratch("batch");
        auto store = std::make_shared<TileManagerFileSystemMultiFileMbtiles>(dir + "/tiles", dir + "/dom", dir + "/dsm");
        auto cache = std::make_shared<TileManagerCachedGDAL>(std::make_shared<fw::MercatorProjection>(), store, 100000);
        for (int i = 0; i < kBatchTiles; ++i) cache->SetTile(i, 5, 18, randomTile(i, 5, 18, i));
        state.ResumeTiming();
        const fw::EvictionResult r = cache->evictOlderThanToMbtiles(2.0);
        benchmark::DoNotOptimize(r);
    }
    state.counters["tiles_per_s"] =
        benchmark::Counter(static_cast<double>(kBatchTiles) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(MbtilesBatchWriteBack)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The same three blobs per tile, inserted by the sqlite3 shell in one
// transaction per database (blobs read with readfile()).
void Sqlite3ShellSameBlobs(benchmark::State& state) {
    const std::string dir = scratch("shell");
    std::ofstream script(dir + "/insert.sql");
    for (const char* db : {"tile", "dom", "dsm"})
        script << "ATTACH '" << dir << "/" << db << ".db' AS " << db << ";\n"
               << "CREATE TABLE " << db
               << ".tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob);\n"
               << "CREATE UNIQUE INDEX " << db << ".tile_index ON tiles (zoom_level, tile_column, tile_row);\n";
    script << "BEGIN;\n";
    for (int i = 0; i < kBatchTiles; ++i) {
        auto tile = randomTile(i, 5, 18, i);
        std::ostringstream serial;
        tile->serialize(serial);
        std::vector<uint8_t> png, tiff;
        std::string error;
        TileManagerFileSystemMultiFileMbtiles::encodeDomPng(*tile, png, error);
        TileManagerFileSystemMultiFileMbtiles::encodeDsmTiff(*tile, tiff, error);
        const std::string base = dir + "/b" + std::to_string(i);
        std::ofstream(base + ".tile", std::ios::binary) << serial.str();
        std::ofstream(base + ".png", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), png.size());
        std::ofstream(base + ".tiff", std::ios::binary).write(reinterpret_cast<const char*>(tiff.data()), tiff.size());
        const std::string row = std::to_string((1 << 18) - 5 - 1);
        for (const auto& [db, ext] : {std::pair<const char*, const char*>{"tile", ".tile"}, {"dom", ".png"}, {"dsm", ".tiff"}})
            script << "INSERT OR REPLACE INTO " << db << ".tiles VALUES (18, " << i << ", " << row << ", readfile('"
                   << base << ext << "'));\n";
    }
    script << "COMMIT;\n";
    script.close();
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* db : {"tile", "dom", "dsm"}) fs::remove(dir + "/" + db + ".db");
        state.ResumeTiming();
        const int rc = std::system(("sqlite3 :memory: < " + dir + "/insert.sql").c_str());
        if (rc != 0) state.SkipWithError("sqlite3 failed");
    }
    state.counters["tiles_per_s"] =
        benchmark::Counter(static_cast<double>(kBatchTiles) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(Sqlite3ShellSameBlobs)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
