#pragma once
// The tiles of terrain fusion: a terrain tile with weight, auxiliary image
// and tag, and the one the stores create and fill, which adds three image
// pyramids. Their serial forms leave image, elevation, aux and tag out: the
// stores keep image and elevation in files of their own.
//
// Threads: tiles carry no lock. A tile is changed only by the thread that
// holds it; stores and caches serialise their own access.

#include "tiles/image_tile.h"

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
