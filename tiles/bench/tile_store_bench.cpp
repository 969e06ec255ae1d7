// Tiles written and read per second by each store (folder, multi-file,
// MBTiles), directly and through the tile cache, with 256 x 256
// orthophoto-like tiles as terrain fusion makes them (image, weight,
// 64 x 64 elevation, two pyramid levels). One iteration writes or reads
// kTiles tiles; a cached write includes the flush at the cache's end.
// items_per_second is tiles per second.
#include "../test/tile_store_fixtures.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr int kTiles = 64;
constexpr int kZoom = 20;

std::string freshFolder(const std::string& name) {
    static std::atomic<int> counter{0};
    const fs::path dir = fs::temp_directory_path() /
                         ("zel-tile-bench-" + std::to_string(getpid()) + "-" + name + "-" + std::to_string(counter++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

const std::vector<std::shared_ptr<TerrainFusionMultiTile>>& tiles() {
    static const auto made = [] {
        std::vector<std::shared_ptr<TerrainFusionMultiTile>> v;
        for (int i = 0; i < kTiles; ++i) v.push_back(tiletest::makeTile({500000 + i, 300000, kZoom}, uint32_t(i)));
        return v;
    }();
    return made;
}

enum class Kind { Folder, MultiFile, Mbtiles };

struct Bench {
    std::string dir;
    std::shared_ptr<fw::TileManager> store;
};

Bench makeStore(Kind kind) {
    Bench b;
    switch (kind) {
        case Kind::Folder:
            b.dir = freshFolder("folder");
            for (const auto& t : tiles())
                fs::create_directories(b.dir + "/" + std::to_string(kZoom) + "/" + std::to_string(t->key.x));
            b.store = std::make_shared<fw::TileManagerFileSystem<TerrainFusionMultiTile>>(b.dir);
            break;
        case Kind::MultiFile:
            b.dir = freshFolder("multi");
            b.store = std::make_shared<TileManagerFileSystemMultiFile>(b.dir, b.dir + "/dom", b.dir + "/dsm");
            break;
        case Kind::Mbtiles:
            b.dir = freshFolder("mbtiles");
            b.store = std::make_shared<TileManagerFileSystemMultiFileMbtiles>(b.dir, "", "");
            break;
    }
    return b;
}

void writeAll(fw::TileManager& m) {
    for (const auto& t : tiles()) {
        t->setModified(true);
        if (!m.SetTile(t->key.x, t->key.y, t->key.z, t)) std::abort();
    }
}

void BM_Write(benchmark::State& state) {
    const auto kind = Kind(state.range(0));
    const bool cached = state.range(1) != 0;
    Bench b = makeStore(kind);
    for (auto _ : state) {
        if (cached) {
            TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), b.store, 16);
            writeAll(cache);
        } else {
            writeAll(*b.store);
        }
    }
    state.SetItemsProcessed(state.iterations() * kTiles);
    b.store.reset();
    fs::remove_all(b.dir);
}

void BM_Read(benchmark::State& state) {
    const auto kind = Kind(state.range(0));
    const int cache = int(state.range(1));  // 0: none; else the capacity
    Bench b = makeStore(kind);
    writeAll(*b.store);
    std::shared_ptr<fw::TileManager> reader = b.store;
    if (cache > 0) reader = std::make_shared<TileManagerCachedGDAL>(std::make_shared<fw::MercatorProjection>(), b.store,
                                                                    uint32_t(cache));
    // A cache that holds the set starts warm: its figure is that of hits.
    if (cache >= kTiles)
        for (const auto& t : tiles()) reader->GetTile(t->key.x, t->key.y, t->key.z);
    for (auto _ : state) {
        for (const auto& t : tiles()) {
            auto read = reader->GetTile(t->key.x, t->key.y, t->key.z);
            if (!read) std::abort();
            benchmark::DoNotOptimize(read.get());
        }
    }
    state.SetItemsProcessed(state.iterations() * kTiles);
    reader.reset();
    b.store.reset();
    fs::remove_all(b.dir);
}

void storeArgs(benchmark::internal::Benchmark* b, std::vector<int64_t> second) {
    b->ArgNames({"store", "cache"});
    for (int kind = 0; kind < 3; ++kind)
        for (int64_t s : second) b->Args({kind, s});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

// store: 0 folder, 1 multi-file, 2 MBTiles. Writes: cache 0 none, 1 a
// 16-tile cache (write-on-evict and flush). Reads: cache 0 none, 16 a cache
// smaller than the set (every read a miss), 128 one that holds it (warm: hits).
BENCHMARK(BM_Write)->Apply([](benchmark::internal::Benchmark* b) { storeArgs(b, {0, 1}); });
BENCHMARK(BM_Read)->Apply([](benchmark::internal::Benchmark* b) { storeArgs(b, {0, 16, 128}); });

BENCHMARK_MAIN();
