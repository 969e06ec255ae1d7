#include "tiles/tile_key.h"

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

static_assert(sizeof(TileKey) == 12, "a key is three packed int32");

TEST(TileKeyHash, KnownValues) {
    // FNV-1a 64 of four zero bytes, and the combined hashes, computed apart.
    EXPECT_EQ(TileKeyHash::hashInt(0), 0x4d25767f9dce13f5ull);
    TileKeyHash hash;
    EXPECT_EQ(hash(TileKey{0, 0, 0}), 0xf1fd21bf68b53de5ull);
    EXPECT_EQ(hash(TileKey{1, 2, 3}), 0x81cfeea401f207a9ull);
    EXPECT_EQ(hash(TileKey{-5, 7, 20}), 0xb92ec4e5821c8246ull);
}

TEST(TileKeyHash, KeysDifferingInOneFieldHashApart) {
    TileKeyHash hash;
    EXPECT_NE(hash(TileKey{3, 4, 18}), hash(TileKey{3, 4, 19}));
    EXPECT_NE(hash(TileKey{3, 4, 18}), hash(TileKey{4, 3, 18}));
    // A neighbourhood of keys at two zoom levels gives no collision.
    std::unordered_set<size_t> seen;
    for (int z = 17; z <= 18; ++z)
        for (int x = 0; x < 64; ++x)
            for (int y = 0; y < 64; ++y) seen.insert(hash(TileKey{x, y, z}));
    EXPECT_EQ(seen.size(), 2u * 64 * 64);
}

TEST(TileArea, NewAreaIsEmpty) {
    TileArea area;
    EXPECT_EQ(area.z, 0);
    EXPECT_EQ(area.xMin, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(area.yMin, 2147483647);
    EXPECT_EQ(area.xMax, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(area.yMax, -2147483647 - 1);
}
