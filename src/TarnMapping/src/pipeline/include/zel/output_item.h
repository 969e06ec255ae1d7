#pragma once
// Descriptions of produced outputs, carried up the node tree to the status line.

#include <cstdint>
#include <memory>
#include <string>

namespace zel {

struct OutputItem {
    std::string name;   // identity: "dom_01", "dsm_01", "pointcloud_01"
    int32_t type = -1;  // 111: 2-D tile set, 112: 3-D tile set
    int32_t state = -1; // -1 not produced, 10 updating, 12 finished
    double time = -1.0; // wall-clock seconds of the last change

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

}  // namespace zel
