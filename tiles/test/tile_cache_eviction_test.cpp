// Eviction by age of the tile cache, and its batch write-back into the three
// MBTiles databases (rows checked with the sqlite3 shell).

#include "tile_store_fixtures.h"

#include "testsupport/captured_log.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

namespace {

using tiletest::MemoryStore;
using tiletest::smallTile;

std::shared_ptr<TileManagerCachedGDAL> cacheOver(std::shared_ptr<fw::TileManager> store, uint32_t capacity = 100) {
    return std::make_shared<TileManagerCachedGDAL>(std::make_shared<fw::MercatorProjection>(), std::move(store),
                                                   capacity);
}

TEST(EvictOlderThan, FromTheBackUntilTheFirstYoungTile) {
    auto store = std::make_shared<MemoryStore>();
    auto cache = cacheOver(store);
    // Inserted oldest first, so the back of the list holds time 1.
    const int times[] = {1, 2, 3, 4, 2, 5};
    for (int x = 0; x < 6; ++x) ASSERT_TRUE(cache->SetTile(x, 0, 16, smallTile({x, 0, 16}, times[x])));
    ASSERT_EQ(cache->size(), 6u);
    // Limit 3: times 1 and 2 leave; 3 (equal) stops the scan, so the second 2 stays.
    fw::EvictionResult r = cache->evictOlderThan(3.0);
    EXPECT_EQ(r.evicted, 2u);
    EXPECT_EQ(r.remaining, 4u);
    EXPECT_EQ(store->totalWrites(), 2);
    // Limit 0: nothing.
    r = cache->evictOlderThan(0.0);
    EXPECT_EQ(r.evicted, 0u);
    // Everything older than 10 leaves, written once each.
    r = cache->evictOlderThan(10.0);
    EXPECT_EQ(r.evicted, 4u);
    EXPECT_EQ(r.remaining, 0u);
    EXPECT_EQ(store->totalWrites(), 6);
    // Empty cache.
    r = cache->evictOlderThan(10.0);
    EXPECT_EQ(r.evicted, 0u);
    EXPECT_EQ(r.remaining, 0u);
}

TEST(EvictOlderThan, AbsencesHeldTilesAndFailedWrites) {
    auto store = std::make_shared<MemoryStore>();
    auto cache = cacheOver(store);
    EXPECT_FALSE(cache->GetTile(1, 1, 16));           // a cached absence, at the back
    ASSERT_TRUE(cache->SetTile(2, 1, 16, smallTile({2, 1, 16}, 1)));
    ASSERT_TRUE(cache->SetTile(3, 1, 16, smallTile({3, 1, 16}, 2)));
    ASSERT_TRUE(cache->SetTile(4, 1, 16, smallTile({4, 1, 16}, 50)));
    // Tile (2, 1) is held: it stays; (3, 1) fails its write: it stays, modified.
    auto held = cache->GetTile(2, 1, 16);
    ASSERT_TRUE(held);
    store->failWrites = 1;
    fw::EvictionResult r = cache->evictOlderThan(10.0);
    EXPECT_EQ(r.evicted, 1u);  // the absence
    EXPECT_EQ(r.remaining, 3u);
    EXPECT_EQ(store->valueAt(3, 1, 16), -1);
    // Writable again, (3, 1) leaves; (2, 1), used last, is at the front
    // behind the young (4, 1) and stays until it reaches the back.
    held.reset();
    r = cache->evictOlderThan(10.0);
    EXPECT_EQ(r.evicted, 1u);
    EXPECT_EQ(store->valueAt(3, 1, 16), 2);
    EXPECT_EQ(store->valueAt(2, 1, 16), -1);
    EXPECT_EQ(store->valueAt(4, 1, 16), -1);
    r = cache->evictOlderThan(100.0);
    EXPECT_EQ(r.evicted, 2u);
    EXPECT_EQ(store->valueAt(2, 1, 16), 1);
    EXPECT_EQ(store->valueAt(4, 1, 16), 50);
}

std::string sqlite(const std::string& db, const std::string& sql) {
    const auto result = testsupport::runProcess({"/usr/bin/sqlite3", db, sql});
    return result.out;
}

class MbtilesBatch : public testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<TileManagerFileSystemMultiFileMbtiles>(dir.file("tiles"), dir.file("dom"), dir.file("dsm"));
        ASSERT_TRUE(store->ready());
        cache = cacheOver(store);
    }
    testsupport::TempDir dir{"tile-evict"};
    std::shared_ptr<TileManagerFileSystemMultiFileMbtiles> store;
    std::shared_ptr<TileManagerCachedGDAL> cache;
};

TEST_F(MbtilesBatch, EvictedTilesWrittenOnceInOneBatch) {
    for (int i = 0; i < 5; ++i) {
        auto tile = tiletest::makeTile({i, 7, 18}, i, 1.0 + i);
        tile->setModified(true);
        ASSERT_TRUE(cache->SetTile(i, 7, 18, tile));
    }
    // An unmodified old tile and a modified one without image.
    auto plain = tiletest::makeTile({9, 7, 18}, 9, 0.5);
    plain->setModified(false);
    ASSERT_TRUE(cache->SetTile(9, 7, 18, plain));
    auto noImage = tiletest::makeTile({10, 7, 18}, 10, 0.5);
    noImage->image = fw::GImage();
    noImage->setModified(true);
    ASSERT_TRUE(cache->SetTile(10, 7, 18, noImage));

    // Nothing old enough: no database touched.
    fw::EvictionResult r = cache->evictOlderThanToMbtiles(0.1);
    EXPECT_EQ(r.evicted, 0u);
    EXPECT_EQ(sqlite(store->tileDbPath(), "SELECT count(*) FROM tiles;"), "0\n");

    r = cache->evictOlderThanToMbtiles(3.5);  // times 1, 2, 3 and the two at 0.5 ... in list order
    // The list's back holds the first tiles set: 1.0, 2.0, 3.0 leave, then 4.0 stops the scan.
    EXPECT_EQ(r.evicted, 3u);
    EXPECT_EQ(r.remaining, 4u);
    const int row = TileManagerFileSystemMultiFileMbtiles::tmsRow(7, 18);
    EXPECT_EQ(sqlite(store->tileDbPath(), "SELECT tile_column FROM tiles ORDER BY tile_column;"), "0\n1\n2\n");
    EXPECT_EQ(sqlite(store->domPath(), "SELECT count(*) FROM tiles WHERE tile_row=" + std::to_string(row) + ";"),
              "3\n");
    EXPECT_EQ(sqlite(store->dsmPath(), "SELECT count(*) FROM tiles;"), "3\n");

    // The rest: the unmodified tile is not written, the one without image has no DOM row.
    r = cache->evictOlderThanToMbtiles(100.0);
    EXPECT_EQ(r.evicted, 4u);
    EXPECT_EQ(r.remaining, 0u);
    EXPECT_EQ(sqlite(store->tileDbPath(), "SELECT tile_column FROM tiles ORDER BY tile_column;"), "0\n1\n2\n3\n4\n10\n");
    EXPECT_EQ(sqlite(store->domPath(), "SELECT count(*) FROM tiles WHERE tile_column=10;"), "0\n");
    EXPECT_EQ(sqlite(store->dsmPath(), "SELECT count(*) FROM tiles WHERE tile_column=10;"), "1\n");
    // Read back through the store.
    auto back = std::dynamic_pointer_cast<TerrainFusionMultiTile>(store->GetTile(2, 7, 18));
    ASSERT_TRUE(back);
    EXPECT_TRUE(tiletest::sameMat(back->image, tiletest::makeTile({2, 7, 18}, 2)->image));
}

TEST_F(MbtilesBatch, FailedBatchKeepsTilesCachedAndModified) {
    auto tile = tiletest::makeTile({1, 1, 18}, 1, 1.0);
    tile->setModified(true);
    ASSERT_TRUE(cache->SetTile(1, 1, 18, tile));
    // Another connection holds dom.mbtiles locked: the batch cannot write it.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(store->domPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    testsupport::CapturedLog log;
    fw::EvictionResult r = cache->evictOlderThanToMbtiles(5.0);
    EXPECT_EQ(r.evicted, 0u);
    EXPECT_EQ(r.remaining, 1u);
    EXPECT_TRUE(tile->isModified());
    EXPECT_FALSE(log.texts(fw::kError).empty());
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // The lock gone, a later eviction writes it.
    r = cache->evictOlderThanToMbtiles(5.0);
    EXPECT_EQ(r.evicted, 1u);
    EXPECT_EQ(sqlite(store->domPath(), "SELECT count(*) FROM tiles;"), "1\n");
}

TEST(EvictOlderThanToMbtiles, OtherStoresActAsTheSingleWrite) {
    auto store = std::make_shared<MemoryStore>();
    auto cache = cacheOver(store);
    ASSERT_TRUE(cache->SetTile(1, 1, 16, smallTile({1, 1, 16}, 1)));
    const fw::EvictionResult r = cache->evictOlderThanToMbtiles(5.0);
    EXPECT_EQ(r.evicted, 1u);
    EXPECT_EQ(store->valueAt(1, 1, 16), 1);
}

}  // namespace
