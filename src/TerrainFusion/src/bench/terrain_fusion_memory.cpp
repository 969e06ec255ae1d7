// Peak resident memory of the node over 100 synthetic frames with a bounded
// tile cache: printed after every 25 frames, with the cache's size, so that
// the growth per cached tile and the fixed base can be read off.

#include "../test/node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/terrain_fusion.h"
#include "tiles/tile_manager_cached.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace {

double peakMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int cacheSize = argc > 1 ? std::atoi(argv[1]) : 200;
    const int frames = argc > 2 ? std::atoi(argv[2]) : 100;
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tf-memory-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    synthetic::BoxScene scene;
    nlohmann::json cfg = tftest::config(dir.string(), {{"terrainfusion.threads", 4}, {"terrainfusion.cache_size", cacheSize}});
    cfg["zoom_level"] = 20;
    cfg["fetch_gps"] = true;
    std::printf("cache_size %d, base before the node: %.1f MB\n", cacheSize, peakMb());
    {
        auto node = createTerrainFusionInstance(cfg.dump(), nullptr, nullptr, nullptr);
        auto cached = std::dynamic_pointer_cast<TileManagerCachedGDAL>(node->tileManager());
        for (int i = 0; i < frames; ++i) {
            // A lawn-mower path: new ground all the time.
            const double e = 30.0 * (i % 10), n = 40.0 * (i / 10);
            auto frame = scene.frame(i + 1, e, n, (dir / ("f" + std::to_string(i % 8) + ".png")).string());
            dv::Var message(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)),
                                                 dv::Var(scene.points(e, n, 2))});
            node->call("point_cloud", &message);
            if ((i + 1) % 25 == 0)
                std::printf("after %3d frames: peak RSS %.1f MB, cached tiles %zu\n", i + 1, peakMb(), cached->size());
        }
    }
    std::printf("after the flush: peak RSS %.1f MB\n", peakMb());
    fs::remove_all(dir);
    return 0;
}
