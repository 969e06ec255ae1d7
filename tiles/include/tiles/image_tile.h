#pragma once
// The framework's tile classes: an abstract root, a colour tile, a tile with
// elevation, and one that also knows its address and time. Virtual operations
// are declared in interface order; the serial forms are those of
// tiles/tile_serial.h, field after field.
//
// Threads: tiles carry no lock. A tile is changed only by the thread that
// holds it; stores and caches serialise their own access.

#include "fw/gimage.h"
#include "fw/gobject.h"
#include "tiles/tile_key.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace fw {

class TileBase : public GObject {
protected:
    TileBase() = default;
};

class ImageTile : public TileBase {
public:
    explicit ImageTile(const GImage& image = GImage());

    std::string type() const override;

    // Image getters share the tile's pixels.
    virtual GImage getImage() const;
    virtual GImage getElevation() const;
    virtual GImage getWeight() const;
    virtual GImage getAuxImage() const;
    virtual void setAuxImage(const GImage& aux);
    // All bits set for tiles without a tag.
    virtual uint32_t getTag() const;
    virtual void setTag(uint32_t tag);
    // {0, 0, -1} and -1.0 for tiles that do not know them.
    virtual TileKey getTileKey() const;
    virtual double getTimestamp() const;
    // The serial size, or an estimate of the memory held (see each class),
    // truncated to 32 bits.
    virtual uint32_t getByteSize() const;
    // Writes the serial form. False, with nothing written, only when an image
    // cannot be written (see tileserial::writable); otherwise true whatever
    // the stream's state: a caller that needs to know checks the stream.
    virtual bool serialize(std::ostream& out) const;
    // Reads the serial form: true whatever the stream's state. Fields past a
    // short or refused read keep their values and the stream has failbit set.
    virtual bool deserialize(std::istream& in);
    virtual bool isModified() const;
    virtual void setModified(bool modified);
    virtual void reserved();

    GImage image;
    bool modified = false;
};

class TerrainTile : public ImageTile {
public:
    explicit TerrainTile(const GImage& image = GImage(), const GImage& elevation = GImage());

    std::string type() const override;
    GImage getElevation() const override;
    uint32_t getByteSize() const override;
    bool serialize(std::ostream& out) const override;
    bool deserialize(std::istream& in) override;

    virtual void setElevation(const GImage& elevation);

    GImage elevation;
};

class TerrainTileWithInfo : public TerrainTile {
public:
    explicit TerrainTileWithInfo(const GImage& image = GImage(), const GImage& elevation = GImage(),
                                 const TileKey& key = TileKey{0, 0, -1}, double timestamp = -1.0);

    std::string type() const override;
    TileKey getTileKey() const override;
    double getTimestamp() const override;
    uint32_t getByteSize() const override;
    bool serialize(std::ostream& out) const override;
    bool deserialize(std::istream& in) override;

    virtual void setTimestamp(double timestamp);

    TileKey key{0, 0, -1};
    double timestamp = -1.0;
};

}  // namespace fw
