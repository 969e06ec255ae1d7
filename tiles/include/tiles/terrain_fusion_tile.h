#pragma once
// The tiles of terrain fusion: a terrain tile with weight, auxiliary image
// and tag, and the one the stores create and fill, which adds three image
// pyramids. Their serial forms leave image, elevation, aux and tag out: the
// stores keep image and elevation in files of their own.
//
// Threads: tiles carry no lock. A tile is changed only by the thread that
// holds it; stores and caches serialise their own access.

#include "tiles/image_tile.h"

#include <cstddef>
#include <string>
#include <vector>

class TerrainFusionTile : public fw::TerrainTileWithInfo {
public:
    // The empty tile the stores read into: empty images, key {0, 0, -1},
    // time stamp -1.0, tag 0.
    TerrainFusionTile();
    // Images are shared, not copied.
    TerrainFusionTile(const fw::GImage& image, const fw::GImage& elevation, const TileKey& key, double timestamp,
                      const fw::GImage& weight, const fw::GImage& aux, uint32_t tag);

    std::string type() const override;
    fw::GImage getWeight() const override;
    fw::GImage getAuxImage() const override;
    void setAuxImage(const fw::GImage& aux) override;
    uint32_t getTag() const override;
    void setTag(uint32_t tag) override;
    // An estimate: 4 * (image cols * rows + elevation cols * rows).
    uint32_t getByteSize() const override;
    // Key, time stamp, weight.
    bool serialize(std::ostream& out) const override;
    bool deserialize(std::istream& in) override;

    // Shares the tile's weight into out.
    virtual void copyWeightTo(fw::GImage& out) const;

    uint32_t tag = 0;
    fw::GImage weight;
    fw::GImage aux;
};

class TerrainFusionMultiTile : public TerrainFusionTile {
public:
    TerrainFusionMultiTile();
    TerrainFusionMultiTile(const fw::GImage& image, const fw::GImage& elevation, const TileKey& key,
                           double timestamp, const fw::GImage& weight, const fw::GImage& aux, uint32_t tag);

    std::string type() const override;
    // Exact serial size + 4 * (image cols * rows + elevation cols * rows).
    uint32_t getByteSize() const override;
    // The three pyramids, key, time stamp, weight.
    bool serialize(std::ostream& out) const override;
    bool deserialize(std::istream& in) override;

    // Copies of the vectors; their images share pixels.
    virtual std::vector<fw::GImage> getImagePyramid() const;
    virtual std::vector<fw::GImage> getElevationPyramid() const;
    virtual std::vector<fw::GImage> getWeightPyramid() const;

    // Bytes of the serial form, in 64 bits (-1 when an image is not writable).
    int64_t serialSize() const;

    std::vector<fw::GImage> imagePyramid;
    std::vector<fw::GImage> elevationPyramid;
    std::vector<fw::GImage> weightPyramid;
};

// The shapes terrain fusion gives its tiles: colour (8-bit BGR) and weight
// (8-bit) kSide pixels square, elevation (32-bit float) kElevationSide cells
// square, one cell per kCell x kCell pixels; level l of a pyramid has its
// base's side halved l times.
struct TerrainTileShape {
    static constexpr int kSide = 256;
    static constexpr int kElevationSide = 64;
    static constexpr int kCell = kSide / kElevationSide;

    static constexpr int levelSide(int side, size_t level) { return level < 31 ? side >> level : 0; }
    // Whether colour, weight and elevation have their shapes and pixels and,
    // with pyramids, every level held of the three pyramids has its side and
    // pixels (a pyramid's depth and level types are the caller's to check).
    // When not, problem says what differs.
    static bool fits(const TerrainFusionMultiTile& tile, bool pyramids, std::string& problem);
    static bool fits(const TerrainFusionMultiTile& tile, bool pyramids);
};
