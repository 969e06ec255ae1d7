#include "tiles/tile_key.h"

uint64_t TileKeyHash::hashInt(int32_t v) {
    const uint32_t bits = static_cast<uint32_t>(v);
    uint64_t h = 0xcbf29ce484222325ull;
    for (int i = 0; i < 4; ++i) {
        h ^= (bits >> (8 * i)) & 0xffu;
        h *= 0x100000001b3ull;
    }
    return h;
}

size_t TileKeyHash::operator()(const TileKey& key) const {
    const uint64_t hx = hashInt(key.x);
    const uint64_t hy = hashInt(key.y);
    const uint64_t hz = hashInt(key.z);
    return static_cast<size_t>(((hx ^ (hy << 1)) >> 1) ^ (hz << 1));
}
