#include "tiles/image_tile.h"

#include "fw/log.h"
#include "tiles/tile_serial.h"

#include <istream>
#include <ostream>

namespace fw {

namespace {

// Serial bytes of an image, 0 for one that cannot be written.
uint64_t bytesOf(const GImage& image) {
    const int64_t bytes = tileserial::imageBytes(image);
    return bytes > 0 ? uint64_t(bytes) : 0;
}

bool writableAll(std::initializer_list<const GImage*> images, const std::string& tileType) {
    for (const GImage* image : images) {
        if (!tileserial::writable(*image)) {
            FW_LOG(Error) << tileType << ": image of " << image->cols << " x " << image->rows << ", type "
                          << image->type << " cannot be serialised";
            return false;
        }
    }
    return true;
}

}  // namespace

// ---- ImageTile

ImageTile::ImageTile(const GImage& image_) : image(image_) {}

std::string ImageTile::type() const { return "ImageTile"; }
GImage ImageTile::getImage() const { return image; }
GImage ImageTile::getElevation() const { return GImage(); }
GImage ImageTile::getWeight() const { return GImage(); }
GImage ImageTile::getAuxImage() const { return GImage(); }
void ImageTile::setAuxImage(const GImage&) {}
uint32_t ImageTile::getTag() const { return 0xffffffffu; }
void ImageTile::setTag(uint32_t) {}
TileKey ImageTile::getTileKey() const { return TileKey{0, 0, -1}; }
double ImageTile::getTimestamp() const { return -1.0; }
uint32_t ImageTile::getByteSize() const { return static_cast<uint32_t>(bytesOf(image) + 12); }

bool ImageTile::serialize(std::ostream& out) const {
    if (!writableAll({&image}, type())) return false;
    tileserial::writeImage(out, image);
    return true;
}

bool ImageTile::deserialize(std::istream& in) {
    tileserial::readImage(in, image);
    modified = false;
    return true;
}

bool ImageTile::isModified() const { return modified; }
void ImageTile::setModified(bool m) { modified = m; }
void ImageTile::reserved() {}

// ---- TerrainTile

TerrainTile::TerrainTile(const GImage& image_, const GImage& elevation_) : ImageTile(image_), elevation(elevation_) {}

std::string TerrainTile::type() const { return "TerrainTile"; }
GImage TerrainTile::getElevation() const { return elevation; }

uint32_t TerrainTile::getByteSize() const {
    return static_cast<uint32_t>(bytesOf(image) + bytesOf(elevation) + 24);
}

bool TerrainTile::serialize(std::ostream& out) const {
    if (!writableAll({&image, &elevation}, type())) return false;
    tileserial::writeImage(out, image);
    tileserial::writeImage(out, elevation);
    return true;
}

bool TerrainTile::deserialize(std::istream& in) {
    tileserial::readImage(in, image);
    tileserial::readImage(in, elevation);
    modified = false;
    return true;
}

void TerrainTile::setElevation(const GImage& e) { elevation = e; }

// ---- TerrainTileWithInfo

TerrainTileWithInfo::TerrainTileWithInfo(const GImage& image_, const GImage& elevation_, const TileKey& key_,
                                         double timestamp_)
    : TerrainTile(image_, elevation_), key(key_), timestamp(timestamp_) {}

std::string TerrainTileWithInfo::type() const { return "TerrainTile"; }
TileKey TerrainTileWithInfo::getTileKey() const { return key; }
double TerrainTileWithInfo::getTimestamp() const { return timestamp; }

uint32_t TerrainTileWithInfo::getByteSize() const {
    return static_cast<uint32_t>(bytesOf(image) + bytesOf(elevation) + 44);
}

bool TerrainTileWithInfo::serialize(std::ostream& out) const {
    if (!writableAll({&image, &elevation}, type())) return false;
    tileserial::writeImage(out, image);
    tileserial::writeImage(out, elevation);
    tileserial::writeKey(out, key);
    tileserial::writeDouble(out, timestamp);
    return true;
}

bool TerrainTileWithInfo::deserialize(std::istream& in) {
    tileserial::readImage(in, image);
    tileserial::readImage(in, elevation);
    tileserial::readKey(in, key);
    tileserial::readDouble(in, timestamp);
    modified = false;
    return true;
}

void TerrainTileWithInfo::setTimestamp(double t) { timestamp = t; }

}  // namespace fw
