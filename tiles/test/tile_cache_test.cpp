// The tile cache over an in-memory store that counts its calls.
#include "tile_store_fixtures.h"
#include "fw/settings.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_file_system.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <filesystem>

using testsupport::CapturedLog;
using tiletest::MemoryStore;
using tiletest::smallTile;
using tiletest::valueOf;

namespace {

std::shared_ptr<MemoryStore> storeWith(std::initializer_list<std::pair<TileKey, int>> tiles) {
    auto store = std::make_shared<MemoryStore>();
    for (const auto& t : tiles) store->values[{t.first.x, t.first.y, t.first.z}] = t.second;
    return store;
}

void modify(const std::shared_ptr<fw::TileBase>& tile, int value) {
    auto* t = dynamic_cast<fw::ImageTile*>(tile.get());
    cv::Mat(t->image).setTo(cv::Scalar::all(value));
    t->setModified(true);
}

}  // namespace

TEST(TileCache, CapacityOneWritesAWhenBComesIn) {
    auto store = storeWith({{{1, 0, 5}, 10}, {{2, 0, 5}, 20}});
    fw::TileManagerCached cache(store, 1);
    EXPECT_EQ(cache.type(), "TileManagerCached");
    {
        auto a = cache.GetTile(1, 0, 5);
        ASSERT_EQ(valueOf(a), 10);
        modify(a, 11);
    }
    EXPECT_EQ(store->totalWrites(), 0);
    auto b = cache.GetTile(2, 0, 5);
    EXPECT_EQ(valueOf(b), 20);
    // A was written inside the GetTile of B, and left the cache.
    EXPECT_EQ(store->writesOf(1, 0, 5), 1);
    EXPECT_EQ(store->valueAt(1, 0, 5), 11);
    EXPECT_EQ(cache.size(), 1u);
    b.reset();
    EXPECT_EQ(valueOf(cache.GetTile(1, 0, 5)), 11);
    EXPECT_EQ(store->readsOf(1, 0, 5), 2);
    EXPECT_EQ(store->writesOf(2, 0, 5), 0);  // B was never modified
}

TEST(TileCache, HeldTileIsNeitherEvictedNorWrittenUntilReleased) {
    auto store = storeWith({{{1, 0, 5}, 10}, {{2, 0, 5}, 20}, {{3, 0, 5}, 30}});
    fw::TileManagerCached cache(store, 1);
    auto a = cache.GetTile(1, 0, 5);
    modify(a, 12);
    auto copy = a;  // a second copy of the same pointer
    EXPECT_EQ(valueOf(cache.GetTile(2, 0, 5)), 20);  // released at once: B is what leaves
    auto c = cache.GetTile(3, 0, 5);
    EXPECT_EQ(valueOf(c), 30);
    EXPECT_EQ(store->totalWrites(), 0);
    EXPECT_EQ(cache.size(), 2u);  // A and C held past the capacity
    // Still the same object for a second reader while held.
    EXPECT_EQ(cache.GetTile(1, 0, 5).get(), a.get());
    a.reset();
    EXPECT_EQ(store->totalWrites(), 0);
    copy.reset();  // the last copy: now A is written and evicted
    EXPECT_EQ(store->writesOf(1, 0, 5), 1);
    EXPECT_EQ(store->valueAt(1, 0, 5), 12);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.GetTile(3, 0, 5).get(), c.get());
}

TEST(TileCache, SaveCacheMeetsAHeldTileAndWritesItAtRelease) {
    auto store = storeWith({{{1, 0, 5}, 10}});
    fw::TileManagerCached cache(store, 8);
    auto a = cache.GetTile(1, 0, 5);
    modify(a, 13);
    cache.call("saveCache", nullptr);
    EXPECT_EQ(store->totalWrites(), 0);
    a.reset();
    EXPECT_EQ(store->writesOf(1, 0, 5), 1);
    EXPECT_EQ(store->valueAt(1, 0, 5), 13);
    cache.call("saveCache", nullptr);
    EXPECT_EQ(store->totalWrites(), 1);
}

TEST(TileCache, AbsencesAreCachedAndNotReadAgain) {
    auto store = storeWith({});
    fw::TileManagerCached cache(store, 4);
    EXPECT_EQ(cache.GetTile(7, 7, 7), nullptr);
    EXPECT_EQ(cache.GetTile(7, 7, 7), nullptr);
    EXPECT_EQ(store->readsOf(7, 7, 7), 1);
    EXPECT_EQ(cache.size(), 1u);
    // Without a store nothing is cached.
    fw::TileManagerCached bare(nullptr, 4);
    EXPECT_EQ(bare.GetTile(7, 7, 7), nullptr);
    EXPECT_EQ(bare.size(), 0u);
}

TEST(TileCache, SaveCacheWritesModifiedTilesOnce) {
    auto store = storeWith({{{1, 1, 3}, 10}});
    fw::TileManagerCached cache(store, 8);
    cache.call("saveCache", nullptr);
    EXPECT_EQ(store->totalWrites(), 0);
    ASSERT_TRUE(cache.SetTile(2, 1, 3, smallTile({2, 1, 3}, 21)));
    ASSERT_TRUE(cache.SetTile(3, 1, 3, smallTile({3, 1, 3}, 31)));
    EXPECT_EQ(valueOf(cache.GetTile(1, 1, 3)), 10);  // unmodified
    cache.call("saveCache", nullptr);
    EXPECT_EQ(store->totalWrites(), 2);
    EXPECT_EQ(store->valueAt(2, 1, 3), 21);
    EXPECT_FALSE(dynamic_cast<fw::ImageTile*>(cache.GetTile(2, 1, 3).get())->isModified());
    cache.call("saveCache", nullptr);
    EXPECT_EQ(store->totalWrites(), 2);
    EXPECT_EQ(cache.size(), 3u);  // saveCache keeps the entries
}

TEST(TileCache, ReplacedTileIsNotWritten) {
    auto store = storeWith({});
    {
        fw::TileManagerCached cache(store, 8);
        ASSERT_TRUE(cache.SetTile(1, 1, 1, smallTile({1, 1, 1}, 50)));
        ASSERT_TRUE(cache.SetTile(1, 1, 1, smallTile({1, 1, 1}, 60)));
    }
    EXPECT_EQ(store->writesOf(1, 1, 1), 1);
    EXPECT_EQ(store->valueAt(1, 1, 1), 60);
}

TEST(TileCache, FlushAtDestructionUsesTheTilesKeyOnEviction) {
    auto store = storeWith({});
    {
        fw::TileManagerCached cache(store, 1);
        // Set at one key, the tile itself knows another: eviction writes at the tile's key.
        ASSERT_TRUE(cache.SetTile(1, 1, 1, smallTile({9, 9, 9}, 70)));
        ASSERT_TRUE(cache.SetTile(2, 1, 1, smallTile({2, 1, 1}, 80)));
        EXPECT_EQ(store->writesOf(9, 9, 9), 1);
        EXPECT_EQ(store->writesOf(1, 1, 1), 0);
    }
    EXPECT_EQ(store->valueAt(2, 1, 1), 80);
}

TEST(TileCache, FailedWriteKeepsTheTileForTheFlush) {
    auto store = storeWith({});
    store->failWrites = 1;
    CapturedLog log;
    {
        fw::TileManagerCached cache(store, 1);
        ASSERT_TRUE(cache.SetTile(1, 0, 4, smallTile({1, 0, 4}, 40)));
        ASSERT_TRUE(cache.SetTile(2, 0, 4, smallTile({2, 0, 4}, 41)));  // evicting A fails
        EXPECT_TRUE(log.contains({"1,0,4", "not written"}, fw::kError));
        // A stays; B, the next in line, left in its place.
        EXPECT_EQ(cache.size(), 1u);
        EXPECT_EQ(store->valueAt(2, 0, 4), 41);
        EXPECT_TRUE(dynamic_cast<fw::ImageTile*>(cache.GetTile(1, 0, 4).get())->isModified());
        EXPECT_EQ(store->valueAt(1, 0, 4), -1);
    }
    // The flush at destruction wrote it again.
    EXPECT_EQ(store->writesOf(1, 0, 4), 2);
    EXPECT_EQ(store->valueAt(1, 0, 4), 40);
    EXPECT_EQ(store->valueAt(2, 0, 4), 41);
}

TEST(TileCache, WritesLostAtDestructionAreCounted) {
    auto store = storeWith({});
    store->failWrites = 100;
    CapturedLog log;
    {
        fw::TileManagerCached cache(store, 8);
        cache.SetTile(1, 0, 4, smallTile({1, 0, 4}, 1));
        cache.SetTile(2, 0, 4, smallTile({2, 0, 4}, 2));
        cache.call("saveCache", nullptr);
        EXPECT_TRUE(log.contains({"saveCache", "2 modified tiles not written"}, fw::kError));
    }
    EXPECT_TRUE(log.contains("2 modified tiles lost", fw::kError));
}

// A store whose SetTile throws: the cache reports it and throws nothing.
TEST(TileCache, StoreThatThrowsIsReported) {
    struct Throwing : tiletest::MemoryStore {
        bool SetTile(int, int, int, std::shared_ptr<fw::TileBase>) override { throw std::runtime_error("disk gone"); }
    };
    auto store = std::make_shared<Throwing>();
    CapturedLog log;
    {
        fw::TileManagerCached cache(store, 1);
        cache.SetTile(1, 0, 4, smallTile({1, 0, 4}, 1));
        EXPECT_NO_THROW(cache.SetTile(2, 0, 4, smallTile({2, 0, 4}, 2)));
        EXPECT_TRUE(log.contains({"1,0,4", "disk gone"}, fw::kError));
    }
    // Holders dropped by others catch it too.
    auto held = std::shared_ptr<fw::TileManager>(store);
    EXPECT_NO_THROW({ fw::TileManagerCached::Holder h(smallTile({5, 5, 5}, 1), &held); });
}

TEST(TileCache, AreaWidensAtTheStoresZoomOnly) {
    auto store = storeWith({});
    fw::TileManagerCached cache(store, 8);
    setTileAreaZoom(cache, 16);
    EXPECT_EQ(store->getTileArea().z, 16);
    cache.SetTile(5, 6, 17, smallTile({5, 6, 17}, 1));
    EXPECT_EQ(cache.getTileArea().xMax, std::numeric_limits<int32_t>::min());
    cache.SetTile(5, 6, 16, smallTile({5, 6, 16}, 1));
    cache.SetTile(3, 9, 16, smallTile({3, 9, 16}, 1));
    const TileArea w = store->getTileArea();
    EXPECT_EQ(w.xMin, 3);
    EXPECT_EQ(w.xMax, 5);
    EXPECT_EQ(w.yMin, 6);
    EXPECT_EQ(w.yMax, 9);
    EXPECT_EQ(cache.maxZoomLevel(), 16);
}

TEST(TileCacheGDAL, ProjectionReachesTheStore) {
    auto store = storeWith({});
    auto projection = std::make_shared<fw::MercatorProjection>();
    TileManagerCachedGDAL cache(projection, store, 8);
    EXPECT_EQ(store->getProjection(), projection);
    EXPECT_EQ(cache.getProjection(), projection);
    EXPECT_EQ(cache.type(), "TileManagerCached");
}

TEST(TileCacheGDAL, ExportExtensions) {
    auto store = storeWith({});
    TileArea a;
    a.z = 3;
    store->setTileArea(a);
    TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), store, 8);
    CapturedLog log;
    std::string file = "map.PNG";
    cache.call("Export", &file);
    EXPECT_EQ(file, "map.PNG");
    EXPECT_TRUE(log.contains("Do not support extension PNG", fw::kError));
    file = "map.tif";
    cache.call("Export", &file);
    EXPECT_EQ(file, "");
    EXPECT_FALSE(cache.exportMap("map"));
}

TEST(TileCacheGDAL, ExportPngPutsTilesOnOneCanvas) {
    testsupport::TempDir dir;
    auto store = storeWith({});
    TileArea a;
    a.z = 3;
    store->setTileArea(a);
    TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), store, 8);
    auto tile = [](const TileKey& k, int v) {
        auto t = smallTile(k, v);
        t->image = fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(v)));
        return t;
    };
    cache.SetTile(2, 4, 3, tile({2, 4, 3}, 90));
    cache.SetTile(3, 5, 3, tile({3, 5, 3}, 120));
    const std::string file = dir.file("map.png");
    ASSERT_TRUE(cache.exportPng(file));
    const cv::Mat png = cv::imread(file, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.size(), cv::Size(512, 512));
    EXPECT_EQ(png.at<cv::Vec3b>(10, 10)[0], 90);
    EXPECT_EQ(png.at<cv::Vec3b>(300, 300)[0], 120);
    EXPECT_EQ(png.at<cv::Vec3b>(10, 300)[0], 0);  // no tile there

    // A negative progress set while it runs stops it; what was copied is written.
    struct Stopping : tiletest::MemoryStore {
        std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override {
            tiletest::MemoryStore::GetTile(x, y, z);
            fw::Settings::instance().GetDouble("TerrainFusion.ExportProgress", 0.0) = -1.0;
            auto t = smallTile({x, y, z}, 33);
            t->image = fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(33)));
            return t;
        }
    };
    auto stopping = std::make_shared<Stopping>();
    a.xMin = 0, a.xMax = 1, a.yMin = 0, a.yMax = 0;
    stopping->setTileArea(a);
    TileManagerCachedGDAL stopped(std::make_shared<fw::MercatorProjection>(), stopping, 8);
    ASSERT_TRUE(stopped.exportPng(file));
    const cv::Mat part = cv::imread(file, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(part.at<cv::Vec3b>(10, 10)[0], 33);
    EXPECT_EQ(part.at<cv::Vec3b>(10, 300)[0], 0);
    EXPECT_EQ(stopping->readsOf(1, 0, 3), 0);
}

TEST(TileCacheGDAL, CheckTile) {
    auto store = storeWith({{{1, 1, 2}, 10}});
    TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), store, 8);
    double args[4] = {1.7, 1.2, 2.0, 5.0};
    cache.call("check_tile", args);  // stamp 10 > 5, read from the store: not written
    EXPECT_EQ(args[3], 10.0);
    EXPECT_EQ(store->totalWrites(), 0);
    double again[4] = {1, 1, 2, 5.0};
    cache.call("check_tile", again);  // now found in the cache: written
    EXPECT_EQ(again[3], 10.0);
    EXPECT_EQ(store->writesOf(1, 1, 2), 1);
    double old[4] = {1, 1, 2, 10.0};
    cache.call("check_tile", old);
    EXPECT_EQ(old[3], 0.0);
    double none[4] = {4, 4, 2, 0.0};
    cache.call("check_tile", none);
    EXPECT_EQ(none[3], 0.0);
}

// Through the cache to the multi-file store: a modified tile reaches the files.
TEST(TileCache, OverTheMultiFileStore) {
    testsupport::TempDir dir;
    auto store = std::make_shared<TileManagerFileSystemMultiFile>(dir.path(), "", "");
    {
        TileManagerCachedGDAL cache(std::make_shared<fw::MercatorProjection>(), store, 2);
        auto t = tiletest::makeTile({4, 4, 4}, 5);
        t->setModified(true);
        cache.SetTile(4, 4, 4, t);
    }
    const cv::Mat png = cv::imread(store->domTilePath(4, 4, 4), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(png.size(), cv::Size(256, 256));
}

// The usual round of terrain fusion: get, change, set back, drop. The cache
// keeps the tile itself, not the caller's copy, so the drop releases it.
TEST(TileCache, TileSetBackIsReleasedWithItsLastCopy) {
    auto store = storeWith({{{1, 0, 5}, 10}});
    fw::TileManagerCached cache(store, 1);
    {
        auto a = cache.GetTile(1, 0, 5);
        modify(a, 14);
        ASSERT_TRUE(cache.SetTile(1, 0, 5, a));
    }
    ASSERT_TRUE(cache.SetTile(2, 0, 5, smallTile({2, 0, 5}, 1)));
    EXPECT_EQ(store->valueAt(1, 0, 5), 14);
    EXPECT_EQ(cache.size(), 1u);
}

// A tile still out when the cache goes: its release later does nothing.
TEST(TileCache, TileOutlivingTheCache) {
    auto store = storeWith({{{1, 0, 5}, 10}});
    std::shared_ptr<fw::TileBase> kept;
    {
        fw::TileManagerCached cache(store, 1);
        kept = cache.GetTile(1, 0, 5);
        modify(kept, 15);
    }
    // The flush at destruction wrote it even though it was out.
    EXPECT_EQ(store->valueAt(1, 0, 5), 15);
    modify(kept, 16);
    kept.reset();
    EXPECT_EQ(store->valueAt(1, 0, 5), 15);
}

// A held tile replaced at its key is not written, not even by a "saveCache"
// that was waiting for its release.
TEST(TileCache, ReplacedHeldTileIsNotWrittenAtRelease) {
    auto store = storeWith({{{1, 1, 1}, 10}});
    {
        fw::TileManagerCached cache(store, 8);
        auto a = cache.GetTile(1, 1, 1);
        modify(a, 11);
        cache.call("saveCache", nullptr);
        ASSERT_TRUE(cache.SetTile(1, 1, 1, smallTile({1, 1, 1}, 12)));
        a.reset();
        EXPECT_EQ(store->totalWrites(), 0);
    }
    EXPECT_EQ(store->writesOf(1, 1, 1), 1);
    EXPECT_EQ(store->valueAt(1, 1, 1), 12);
}

// A tile whose last write failed counts as lost until a write of it succeeds,
// whichever path wrote it: an eviction, a "saveCache".
TEST(TileCache, FailedTilesCountedUntilWritten) {
    auto store = storeWith({});
    store->failWrites = 4;
    fw::TileManagerCached cache(store, 1);
    cache.SetTile(1, 0, 4, smallTile({1, 0, 4}, 1));
    EXPECT_EQ(cache.failedTiles(), 0u) << "modified, not yet written: not lost";
    // Over capacity: the eviction tries both tiles, and both writes fail.
    cache.SetTile(2, 0, 4, smallTile({2, 0, 4}, 2));
    EXPECT_EQ(cache.failedTiles(), 2u);
    EXPECT_EQ(cache.saveCache(), 2u);
    EXPECT_EQ(cache.failedTiles(), 2u);
    EXPECT_EQ(cache.saveCache(), 0u);
    EXPECT_EQ(cache.failedTiles(), 0u);
    EXPECT_EQ(store->valueAt(1, 0, 4), 1);
    EXPECT_EQ(store->valueAt(2, 0, 4), 2);
}
