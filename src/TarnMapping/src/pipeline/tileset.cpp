#include "zel/tileset.h"

namespace zel {

void Tileset::assign(std::shared_ptr<OutputItem> other) {
    OutputItem::assign(other);
    auto* tiles = dynamic_cast<Tileset*>(other.get());
    if (!tiles || tiles == this) return;
    location = tiles->location;
    tilesetType = tiles->tilesetType;
    storageType = tiles->storageType;
    tileSize = tiles->tileSize;
    pathTemplate = tiles->pathTemplate;
    tileFormat = tiles->tileFormat;
    crs = tiles->crs;
    geometry = tiles->geometry;
    zoomRange = tiles->zoomRange;
    extra = tiles->extra;
}

std::shared_ptr<OutputItem> Tileset::clone() { return std::make_shared<Tileset>(*this); }

}  // namespace zel

TfTileset::TfTileset(std::string kind) {
    type = zel::ItemType::Tileset;
    if (kind == "dom") {
        tilesetType = 1;
    } else if (kind == "dsm") {
        tilesetType = 2;
        tileFormat = "tiff";
        tileSize = {64, 64};
    }
}
