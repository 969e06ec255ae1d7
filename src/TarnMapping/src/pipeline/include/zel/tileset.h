#pragma once
// The 2-D web-map tile set item and the terrain fusion's variant of it.

#include "zel/output_item.h"

#include <array>
#include <cstdint>
#include <string>

namespace zel {

struct Tileset : OutputItem {
    std::string location;                     // where the tiles are stored
    int32_t tilesetType = -1;                 // 1 DOM, 2 DSM
    int32_t storageType = 1;
    std::array<int32_t, 2> tileSize{256, 256};
    std::string pathTemplate = "{z}/{z}_{x}_{y}";
    std::string tileFormat = "png";
    std::string crs = "EPSG:3857";
    std::array<double, 4> geometry{0.0, 0.0, 0.0, 0.0};
    std::array<int32_t, 2> zoomRange{0, 0};   // highest zoom, then lowest
    std::string extra;

    Tileset() = default;
    Tileset(const Tileset&) = default;
    Tileset& operator=(const Tileset&) = default;

    void assign(std::shared_ptr<OutputItem> other) override;
    // A plain Tileset with the same values, whatever class this item is.
    std::shared_ptr<OutputItem> clone() override;
};

}  // namespace zel

// Tile set of the terrain fusion: "dom" or "dsm" sets the kind's defaults.
struct TfTileset : zel::Tileset {
    explicit TfTileset(std::string kind);
};
