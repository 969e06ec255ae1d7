#pragma once
// Descriptions of produced outputs, carried up the node tree to the status line.

#include "zel/states.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zel {

struct OutputItem {
    std::string name;   // identity: "dom_01", "dsm_01", "pointcloud_01"
    ItemType type = ItemType::Unknown;
    ItemState state = ItemState::New;
    double time = -1.0; // wall-clock seconds of the last change
    int64_t filesLost = 0;  // files of the item its producer could not write whole

    OutputItem() = default;
    OutputItem(const OutputItem&) = default;
    OutputItem& operator=(const OutputItem&) = default;
    virtual ~OutputItem() = default;

    // Takes the other item's values in place.
    virtual void assign(std::shared_ptr<OutputItem> other);
    virtual std::shared_ptr<OutputItem> clone();
};

// The point-cloud tile set.
struct Tileset3D : OutputItem {
    std::string path;  // its tileset.json
    int32_t tilesetType = 10;
    int32_t storageType = 1;

    Tileset3D() = default;
    Tileset3D(const Tileset3D&) = default;
    Tileset3D& operator=(const Tileset3D&) = default;

    void assign(std::shared_ptr<OutputItem> other) override;
    std::shared_ptr<OutputItem> clone() override;
};

// Merges one item into a list keyed by name: a clone is appended when the
// name is new, the stored item takes the item's values when the item is
// strictly newer; whether the list changed. A null item changes nothing.
bool mergeItem(std::vector<std::shared_ptr<OutputItem>>& list, const std::shared_ptr<OutputItem>& item);

}  // namespace zel
