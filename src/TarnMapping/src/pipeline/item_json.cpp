#include "zel/item_json.h"

namespace zel {

using nlohmann::json;

bool tilesetToJson(const Tileset& t, json& out) {
    out = json{{"id", t.name},
               {"type", code(t.type)},
               {"state", code(t.state)},
               {"time_updated", t.time},
               {"tileset_type", t.tilesetType},
               {"storage_type", t.storageType},
               {"tile_size", json::array({t.tileSize[1], t.tileSize[0]})},
               {"tile_format", t.tileFormat},
               {"crs", t.crs},
               {"geometry", json::array({t.geometry[0], t.geometry[1], t.geometry[2], t.geometry[3]})},
               {"zooms", json::array({t.zoomRange[1], t.zoomRange[0]})}};
    return true;
}

bool tileset3DToJson(const Tileset3D& t, json& out) {
    out = json{{"id", t.name},
               {"type", code(t.type)},
               {"state", code(t.state)},
               {"time_updated", t.time},
               {"tileset_type", t.tilesetType}};
    return true;
}

bool itemToJson(std::shared_ptr<OutputItem> item, json& out) {
    if (auto* tiles = dynamic_cast<Tileset*>(item.get())) return tilesetToJson(*tiles, out);
    if (auto* tiles3D = dynamic_cast<Tileset3D*>(item.get())) {
        const Tileset3D copy(*tiles3D);
        return tileset3DToJson(copy, out);
    }
    return false;
}

}  // namespace zel
