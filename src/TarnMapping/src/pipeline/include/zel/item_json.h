#pragma once
// JSON forms of the output items in the status line.

#include "zel/output_item.h"
#include "zel/tileset.h"

#include <memory>

#include <nlohmann/json.hpp>

namespace zel {

// Replaces out with the item's object; false (out untouched) for an item
// that is neither kind of tile set.
bool itemToJson(std::shared_ptr<OutputItem> item, nlohmann::json& out);
bool tilesetToJson(const Tileset& tiles, nlohmann::json& out);
bool tileset3DToJson(const Tileset3D& tiles, nlohmann::json& out);

}  // namespace zel
