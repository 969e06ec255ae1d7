#include "terrain/terrain_fusion.h"

#include "fw/log.h"
#include "tiles/tile_manager_cached.h"

#include <chrono>
#include <thread>

void TerrainFusion::AdaptiveRemoveTileCache(double frameTime) {
    std::lock_guard<std::mutex> lock(frameWindowMutex_);
    frameWindow_.push_back(frameTime);
    const int n = store_.GetInt("terrainfusion.threads", static_cast<int>(std::thread::hardware_concurrency()));
    if (frameWindow_.size() <= static_cast<uint64_t>(static_cast<int64_t>(n))) return;
    const double limit = frameWindow_.front();
    frameWindow_.pop_front();
    auto cached = std::dynamic_pointer_cast<TileManagerCachedGDAL>(tileManager_);
    if (!cached) return;
    const auto t0 = std::chrono::steady_clock::now();
    const fw::EvictionResult result =
        settings_.storageKind == 1 ? cached->evictOlderThan(limit) : cached->evictOlderThanToMbtiles(limit);
    const auto t1 = std::chrono::steady_clock::now();
    FW_LOG(Info) << "Cache Out: " << result.evicted << ", In Cache: " << result.remaining << ", time: "
                 << std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count() / 1e6 << " ms";
}
