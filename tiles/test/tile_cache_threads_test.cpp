// Many threads getting and setting overlapping keys through a small cache.
// Each key has a counter (the tile's time stamp) that the threads raise under
// a lock of their own, as terrain fusion guards a tile it blends; the store
// must end up holding every key's last value.
#include "tile_store_fixtures.h"
#include "tiles/tile_manager_cached.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kKeys = 8;

TileKey keyOf(int i) { return TileKey{i, i % 3, 12}; }

std::shared_ptr<TerrainFusionMultiTile> counterTile(const TileKey& key, double count) {
    auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(1))),
                                                         fw::GImage(), key, count, fw::GImage(), fw::GImage(), 0);
    tile->setModified(true);
    return tile;
}

// Keeps each key's counter; every read returns a fresh tile.
class CounterStore : public fw::TileManager {
public:
    std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reads;
        auto it = counts_.find({x, y, z});
        if (it == counts_.end()) return nullptr;
        auto tile = counterTile({x, y, z}, it->second);
        tile->setModified(false);
        return tile;
    }
    bool SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++writes;
        auto* t = dynamic_cast<fw::ImageTile*>(tile.get());
        // Reads the pixels too, as an encoder would.
        const cv::Mat image = t->getImage();
        if (cv::sum(image)[0] != 4 * 4) return false;
        counts_[{x, y, z}] = t->getTimestamp();
        return true;
    }
    double countOf(const TileKey& k) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counts_.find({k.x, k.y, k.z});
        return it == counts_.end() ? 0.0 : it->second;
    }
    int reads = 0;
    int writes = 0;

private:
    std::mutex mutex_;
    std::map<std::tuple<int, int, int>, double> counts_;
};

}  // namespace

TEST(TileCacheThreads, OverlappingKeysEndWithEveryKeysLastTile) {
    auto store = std::make_shared<CounterStore>();
    std::array<std::mutex, kKeys> keyLocks;
    std::array<int, kKeys> expected{};
    {
        fw::TileManagerCached cache(store, 3);
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(uint32_t(t) * 7919u + 1u);
                for (int i = 0; i < 400; ++i) {
                    const int k = int(rng() % kKeys);
                    const TileKey key = keyOf(k);
                    const unsigned op = rng() % 10;
                    if (op == 9) {
                        cache.call("saveCache", nullptr);
                        continue;
                    }
                    std::lock_guard<std::mutex> lock(keyLocks[size_t(k)]);
                    auto tile = cache.GetTile(key.x, key.y, key.z);
                    const int next = ++expected[size_t(k)];
                    if (!tile || op < 2) {
                        // A new tile replaces the cached one, which is dropped unwritten.
                        cache.SetTile(key.x, key.y, key.z, counterTile(key, next));
                        continue;
                    }
                    auto* fused = dynamic_cast<TerrainFusionMultiTile*>(tile.get());
                    EXPECT_EQ(fused->getTimestamp(), double(next - 1));
                    fused->setTimestamp(next);
                    cv::Mat(fused->image).setTo(cv::Scalar::all(1));  // rewrite the pixels in place
                    fused->setModified(true);
                    if (op < 6) cache.SetTile(key.x, key.y, key.z, tile);
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(store->countOf(keyOf(k)), double(expected[size_t(k)])) << "key " << k;
    EXPECT_GT(store->writes, kKeys);  // evictions wrote on the way, not only the flush
}
