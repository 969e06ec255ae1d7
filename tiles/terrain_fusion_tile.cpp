#include "tiles/terrain_fusion_tile.h"

#include "fw/log.h"
#include "tiles/tile_serial.h"

#include <opencv2/core/hal/interface.h>

#include <istream>
#include <ostream>
#include <sstream>

namespace {

uint64_t pixelsOf(const fw::GImage& image) {
    if (image.cols <= 0 || image.rows <= 0) return 0;
    return uint64_t(image.cols) * uint64_t(image.rows);
}

// The estimate both fusion tiles add: 4 bytes per image and elevation pixel.
uint64_t memoryEstimate(const fw::GImage& image, const fw::GImage& elevation) {
    return 4 * (pixelsOf(image) + pixelsOf(elevation));
}

bool logUnwritable(const std::string& tileType) {
    FW_LOG(Error) << tileType << ": an image of the tile cannot be serialised";
    return false;
}

}  // namespace

// ---- TerrainFusionTile

TerrainFusionTile::TerrainFusionTile() : TerrainTileWithInfo(fw::GImage(), fw::GImage(), TileKey{0, 0, -1}, -1.0) {}

TerrainFusionTile::TerrainFusionTile(const fw::GImage& image_, const fw::GImage& elevation_, const TileKey& key_,
                                     double timestamp_, const fw::GImage& weight_, const fw::GImage& aux_,
                                     uint32_t tag_)
    : TerrainTileWithInfo(image_, elevation_, key_, timestamp_), tag(tag_), weight(weight_), aux(aux_) {}

std::string TerrainFusionTile::type() const { return "TerrainFusionTile"; }
fw::GImage TerrainFusionTile::getWeight() const { return weight; }
fw::GImage TerrainFusionTile::getAuxImage() const { return aux; }
void TerrainFusionTile::setAuxImage(const fw::GImage& a) { aux = a; }
uint32_t TerrainFusionTile::getTag() const { return tag; }
void TerrainFusionTile::setTag(uint32_t t) { tag = t; }

uint32_t TerrainFusionTile::getByteSize() const { return static_cast<uint32_t>(memoryEstimate(image, elevation)); }

bool TerrainFusionTile::serialize(std::ostream& out) const {
    if (!tileserial::writable(weight)) return logUnwritable(type());
    tileserial::writeKey(out, key);
    tileserial::writeDouble(out, timestamp);
    tileserial::writeImage(out, weight);
    return true;
}

bool TerrainFusionTile::deserialize(std::istream& in) {
    tileserial::readKey(in, key);
    tileserial::readDouble(in, timestamp);
    tileserial::readImage(in, weight);
    modified = false;
    return true;
}

void TerrainFusionTile::copyWeightTo(fw::GImage& out) const { out = weight; }

// ---- TerrainFusionMultiTile

TerrainFusionMultiTile::TerrainFusionMultiTile() = default;

TerrainFusionMultiTile::TerrainFusionMultiTile(const fw::GImage& image_, const fw::GImage& elevation_,
                                               const TileKey& key_, double timestamp_, const fw::GImage& weight_,
                                               const fw::GImage& aux_, uint32_t tag_)
    : TerrainFusionTile(image_, elevation_, key_, timestamp_, weight_, aux_, tag_) {}

std::string TerrainFusionMultiTile::type() const { return "TerrainFusionMultiTile"; }

int64_t TerrainFusionMultiTile::serialSize() const {
    int64_t total = 3 * 8 + 12 + 8;
    auto add = [&total](const fw::GImage& image) {
        if (!tileserial::writable(image)) return false;
        total += 12 + tileserial::imageBytes(image);
        return true;
    };
    for (const auto* pyramid : {&imagePyramid, &elevationPyramid, &weightPyramid}) {
        for (const fw::GImage& level : *pyramid) {
            if (!add(level)) return -1;
        }
    }
    if (!add(weight)) return -1;
    return total;
}

uint32_t TerrainFusionMultiTile::getByteSize() const {
    const int64_t serial = serialSize();
    const uint64_t exact = serial > 0 ? uint64_t(serial) : 0;
    return static_cast<uint32_t>(exact + memoryEstimate(image, elevation));
}

bool TerrainFusionMultiTile::serialize(std::ostream& out) const {
    if (serialSize() < 0) return logUnwritable(type());
    tileserial::writePyramid(out, imagePyramid);
    tileserial::writePyramid(out, elevationPyramid);
    tileserial::writePyramid(out, weightPyramid);
    tileserial::writeKey(out, key);
    tileserial::writeDouble(out, timestamp);
    tileserial::writeImage(out, weight);
    return true;
}

bool TerrainFusionMultiTile::deserialize(std::istream& in) {
    tileserial::readPyramid(in, imagePyramid);
    tileserial::readPyramid(in, elevationPyramid);
    tileserial::readPyramid(in, weightPyramid);
    tileserial::readKey(in, key);
    tileserial::readDouble(in, timestamp);
    tileserial::readImage(in, weight);
    modified = false;
    return true;
}

std::vector<fw::GImage> TerrainFusionMultiTile::getImagePyramid() const { return imagePyramid; }
std::vector<fw::GImage> TerrainFusionMultiTile::getElevationPyramid() const { return elevationPyramid; }
std::vector<fw::GImage> TerrainFusionMultiTile::getWeightPyramid() const { return weightPyramid; }

// ---- shapes

namespace {

std::string shapeText(const fw::GImage& image) {
    std::ostringstream s;
    s << image.cols << "x" << image.rows << " type " << image.type;
    return s.str();
}

bool sized(const fw::GImage& image, int side) {
    return image.cols == side && image.rows == side && image.data != nullptr;
}

}  // namespace

bool TerrainTileShape::fits(const TerrainFusionMultiTile& tile, bool pyramids, std::string& problem) {
    if (!sized(tile.image, kSide) || tile.image.type != CV_8UC3) {
        problem = "DOM " + shapeText(tile.image);
        return false;
    }
    if (!sized(tile.weight, kSide) || tile.weight.type != CV_8UC1) {
        problem = "weight " + shapeText(tile.weight);
        return false;
    }
    if (!sized(tile.elevation, kElevationSide) || tile.elevation.type != CV_32FC1) {
        problem = "elevation " + shapeText(tile.elevation);
        return false;
    }
    if (!pyramids) return true;
    for (const auto* pyramid : {&tile.imagePyramid, &tile.weightPyramid, &tile.elevationPyramid}) {
        const int base = pyramid == &tile.elevationPyramid ? kElevationSide : kSide;
        for (size_t l = 0; l < pyramid->size(); ++l) {
            if (!sized((*pyramid)[l], levelSide(base, l))) {
                problem = "pyramid level " + std::to_string(l) + " " + shapeText((*pyramid)[l]);
                return false;
            }
        }
    }
    return true;
}

bool TerrainTileShape::fits(const TerrainFusionMultiTile& tile, bool pyramids) {
    std::string problem;
    return fits(tile, pyramids, problem);
}
