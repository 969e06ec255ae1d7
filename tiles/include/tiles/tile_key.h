#pragma once
// Tile addresses: the key of one web-map tile, its hash, and the range of
// tiles that a store holds. Plain records; no locking.

#include <cstddef>
#include <cstdint>
#include <limits>

struct TileKey {
    int32_t x = 0;
    int32_t y = 0;
    int32_t z = 0;

    friend bool operator==(const TileKey& a, const TileKey& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
    friend bool operator!=(const TileKey& a, const TileKey& b) { return !(a == b); }
};

// FNV-1a 64 of each coordinate's four little-endian bytes, combined as
// ((H(x) ^ (H(y) << 1)) >> 1) ^ (H(z) << 1).
struct TileKeyHash {
    // FNV-1a 64 of the four little-endian bytes of v.
    static uint64_t hashInt(int32_t v);
    size_t operator()(const TileKey& key) const;
};

// Tiles xMin..xMax by yMin..yMax; z is also the store's zoom level. A new
// area is empty (minimums above maximums) so that the first widening sets it.
struct TileArea {
    int32_t z = 0;
    int32_t xMin = std::numeric_limits<int32_t>::max();
    int32_t yMin = std::numeric_limits<int32_t>::max();
    int32_t xMax = std::numeric_limits<int32_t>::min();
    int32_t yMax = std::numeric_limits<int32_t>::min();
};
