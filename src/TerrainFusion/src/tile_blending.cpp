#include "terrain/terrain_fusion.h"

#include "steady_seconds.h"
#include "fw/log.h"
#include "terrain/grid_elevation.h"
#include "terrain/pyramid.h"
#include "tiles/terrain_fusion_tile.h"

#include <chrono>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using Shape = TerrainTileShape;

cv::Mat matOf(const fw::GImage& image) { return static_cast<cv::Mat>(image); }

// Whether the tile has the shapes that the writers index, with colour-band
// (16-bit) and weight pyramids of levels + 1 entries halving from the tile's
// side.
bool hasShapes(const TerrainFusionMultiTile& tile, int levels, bool withPyramids) {
    if (!Shape::fits(tile, false)) return false;
    if (!withPyramids) return true;
    if (tile.imagePyramid.size() != static_cast<size_t>(levels) + 1 || tile.weightPyramid.size() != tile.imagePyramid.size())
        return false;
    for (int l = 0; l <= levels; ++l) {
        const cv::Mat band = matOf(tile.imagePyramid[l]), w = matOf(tile.weightPyramid[l]);
        const int s = Shape::levelSide(Shape::kSide, l);
        if (band.type() != CV_16SC3 || band.rows != s || band.cols != s) return false;
        if (w.type() != CV_8UC1 || w.rows != s || w.cols != s) return false;
    }
    return true;
}

// Where the frame's weight is above the tile's, the frame's value replaces
// the tile's, and with takeWeight its weight the tile's. Value (r, c) goes
// with weight (stride r, stride c): the elevation has one cell per stride x
// stride pixels of weight.
template <typename T>
void takeHeavier(const cv::Mat& values, const cv::Mat& weight, cv::Mat& tileValues, cv::Mat& tileWeight, int stride,
                 bool takeWeight) {
    for (int r = 0; r < tileValues.rows; ++r) {
        const T* from = values.ptr<T>(r);
        const uint8_t* fromWeight = weight.ptr<uint8_t>(stride * r);
        T* to = tileValues.ptr<T>(r);
        uint8_t* toWeight = tileWeight.ptr<uint8_t>(stride * r);
        for (int c = 0; c < tileValues.cols; ++c) {
            if (fromWeight[stride * c] > toWeight[stride * c]) {
                to[c] = from[c];
                if (takeWeight) toWeight[stride * c] = fromWeight[stride * c];
            }
        }
    }
}

// One tile's part of a frame's rasters and pyramids: the tile at (column,
// row) of the frame's rectangle.
struct FrameTile {
    cv::Mat dom, weight, dsm;
    const std::vector<cv::Mat>* bands = nullptr;
    const std::vector<cv::Mat>* weights = nullptr;
    int column = 0, row = 0;

    cv::Rect levelRect(int level) const {
        const int s = Shape::levelSide(Shape::kSide, level);
        return cv::Rect(column * s, row * s, s, s);
    }
};

// Band and weight pyramids of levels + 1 entries made again from the tile's
// own colour and weight (the tile's were of another depth).
void remakePyramids(TerrainFusionMultiTile& tile, int levels) {
    std::vector<cv::Mat> tileBands;
    buildLaplacianPyramid(fillUncovered(matOf(tile.image), matOf(tile.weight)), levels, tileBands);
    tile.imagePyramid.clear();
    for (const cv::Mat& band : tileBands) tile.imagePyramid.emplace_back(band.clone());
    tile.weightPyramid.clear();
    cv::Mat w = matOf(tile.weight).clone();
    tile.weightPyramid.emplace_back(w);
    for (int l = 0; l < levels; ++l) {
        cv::Mat next;
        cv::pyrDown(w, next);
        tile.weightPyramid.emplace_back(next);
        w = next;
    }
}

// Merges the frame's part into a tile of the writers' shapes: elevation,
// colour and weight (and, multiband, each band level with its weight) where
// the frame weighs more. The elevation is compared with the tile's weight
// before the colour takes the frame's.
void mergeIntoTile(TerrainFusionMultiTile& tile, const FrameTile& part, int levels, bool multiband) {
    if (multiband && !hasShapes(tile, levels, true)) remakePyramids(tile, levels);
    cv::Mat image = matOf(tile.image), weight = matOf(tile.weight), elevation = matOf(tile.elevation);
    takeHeavier<float>(part.dsm, part.weight, elevation, weight, Shape::kCell, false);
    takeHeavier<cv::Vec3b>(part.dom, part.weight, image, weight, 1, true);
    if (multiband) {
        for (int l = 0; l <= levels; ++l) {
            const cv::Rect rect = part.levelRect(l);
            cv::Mat tileBand = matOf(tile.imagePyramid[l]), tileWeight = matOf(tile.weightPyramid[l]);
            takeHeavier<cv::Vec3s>((*part.bands)[l](rect), (*part.weights)[l](rect), tileBand, tileWeight, 1, true);
        }
    }
    tile.setTimestamp(steadySeconds());
    tile.setModified(true);
}

// A new tile of the frame's part, with its band and weight pyramids.
std::shared_ptr<TerrainFusionMultiTile> tileFromFrame(const FrameTile& part, const TileKey& key, int levels) {
    std::vector<fw::GImage> imagePyramid, weightPyramid;
    for (int l = 0; l <= levels; ++l) {
        const cv::Rect rect = part.levelRect(l);
        imagePyramid.emplace_back((*part.bands)[l](rect).clone());
        weightPyramid.emplace_back((*part.weights)[l](rect).clone());
    }
    auto made = std::make_shared<TerrainFusionMultiTile>(fw::GImage(part.dom.clone()), fw::GImage(part.dsm.clone()), key,
                                                         steadySeconds(), fw::GImage(part.weight.clone()),
                                                         fw::GImage(), 0);
    made->imagePyramid = std::move(imagePyramid);
    made->weightPyramid = std::move(weightPyramid);
    made->setModified(true);
    return made;
}

// Rebuilds the colour of the tile at (x, y) from its blended bands and its
// neighbours': each level padded by their strips (where one is missing, by
// the tile's own level mirrored across that edge), then collapsed. False,
// with an ERROR, when the tile is gone or its pyramids do not fit.
bool rebuildColour(fw::TileManager& tiles, int64_t x, int64_t y, int zoom) {
    const int tx = static_cast<int>(x), ty = static_cast<int>(y);
    auto centre = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tiles.GetTile(tx, ty, zoom));
    if (!centre) {
        FW_LOG(Error) << "Can not get tile while multiband. ";
        return false;
    }
    const int tileLevels = static_cast<int>(centre->imagePyramid.size()) - 1;
    if (tileLevels < 0 || !hasShapes(*centre, tileLevels, true)) {
        FW_LOG(Error) << "Can not get tile while multiband. ";
        return false;
    }
    std::shared_ptr<TerrainFusionMultiTile> around[3][3];
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) {
                around[1][1] = centre;
                continue;
            }
            const int64_t nx = x + dx, ny = y + dy;
            if (nx < 0 || ny < 0 || nx > INT32_MAX || ny > INT32_MAX) continue;
            auto n = std::dynamic_pointer_cast<TerrainFusionMultiTile>(
                tiles.GetTile(static_cast<int>(nx), static_cast<int>(ny), zoom));
            if (n && hasShapes(*n, tileLevels, true)) around[dy + 1][dx + 1] = n;
        }
    }
    std::vector<cv::Mat> padded(static_cast<size_t>(tileLevels) + 1);
    for (int l = 0; l <= tileLevels; ++l) {
        const int s = Shape::levelSide(Shape::kSide, l);
        const int b = 1 << (tileLevels - l);
        cv::copyMakeBorder(matOf(centre->imagePyramid[l]), padded[l], b, b, b, b, cv::BORDER_REFLECT);
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const auto& n = around[dy + 1][dx + 1];
                if (!n || (dx == 0 && dy == 0)) continue;
                const cv::Mat band = matOf(n->imagePyramid[l]);
                const int sx = dx == -1 ? s - b : 0, sw = dx == 0 ? s : b;
                const int sy = dy == -1 ? s - b : 0, sh = dy == 0 ? s : b;
                const int px = dx == -1 ? 0 : (dx == 0 ? b : s + b);
                const int py = dy == -1 ? 0 : (dy == 0 ? b : s + b);
                band(cv::Rect(sx, sy, sw, sh)).copyTo(padded[l](cv::Rect(px, py, sw, sh)));
            }
        }
    }
    for (int l = tileLevels - 1; l >= 0; --l) {
        cv::Mat up;
        cv::pyrUp(padded[l + 1], up, padded[l].size());
        cv::add(padded[l], up, padded[l]);
    }
    cv::Mat colour;
    padded[0].convertTo(colour, CV_8UC3, 1.0, 0.0);
    const int offset = 1 << tileLevels;
    cv::Mat target = matOf(centre->image);
    colour(cv::Rect(offset, offset, Shape::kSide, Shape::kSide)).copyTo(target);
    centre->setTimestamp(steadySeconds());
    centre->setModified(true);
    tiles.SetTile(tx, ty, zoom, centre);
    return true;
}

}  // namespace

int TerrainFusion::pyramidLevels() {
    const int side = Shape::kSide;
    const int byTile = static_cast<int>(std::ceil(std::log2(static_cast<double>(side))));
    return std::min(byTile, renderZooms());
}

namespace {

bool rastersFit(const TerrainFusion::LocalDSMData& record) {
    return record.tileWidth == Shape::kSide && record.tileHeight == Shape::kSide && record.dom.type() == CV_8UC3 &&
           record.weight.type() == CV_8UC1 && record.dsm.type() == CV_32FC1 && record.dom.cols == record.width &&
           record.dom.rows == record.height && record.weight.size() == record.dom.size() &&
           record.dsm.cols == record.width / Shape::kCell && record.dsm.rows == record.height / Shape::kCell;
}

}  // namespace

TerrainFusion::FramePyramids TerrainFusion::framePyramids(const LocalDSMData& record) {
    FramePyramids out;
    if (!rastersFit(record)) return out;
    const int levels = pyramidLevels();
    // The bands come from the frame's colour with its uncovered pixels filled
    // from the covered ones, so no band carries the raster's blank colour.
    buildLaplacianPyramid(fillUncovered(record.dom, record.weight), levels, out.bands);
    out.weights.resize(static_cast<size_t>(levels) + 1);
    out.weights[0] = record.weight;
    for (int l = 0; l < levels; ++l) cv::pyrDown(out.weights[l], out.weights[l + 1]);
    return out;
}

bool TerrainFusion::stitchMultiband(const LocalDSMData& record) {
    return stitchTiles(record, framePyramids(record), true);
}

bool TerrainFusion::stitchDSM(const LocalDSMData& record) { return stitchTiles(record, framePyramids(record), false); }

bool TerrainFusion::stitchTiles(const LocalDSMData& record, const FramePyramids& pyramids, bool multiband) {
    if (!tileManager_) return false;
    const int levels = pyramidLevels();
    if (!rastersFit(record) || pyramids.bands.size() != static_cast<size_t>(levels) + 1 ||
        pyramids.weights.size() != pyramids.bands.size()) {
        FW_LOG(Error) << "TerrainFusion: frame rasters do not match their tile rectangle";
        return false;
    }
    const int64_t columns = record.xMax - record.xMin + 1;
    const int64_t rows = record.yMax - record.yMin + 1;
    if (columns * rows > 500) FW_LOG(Warning) << "TF: Too many tiles to stitch: " << columns << "x" << rows;
    const int zoom = zoomLevel();

    std::lock_guard<std::mutex> stitch(stitchMutex_);
    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x) {
            FrameTile part;
            part.column = static_cast<int>(x - record.xMin);
            part.row = static_cast<int>(y - record.yMin);
            const cv::Rect domRect = part.levelRect(0);
            const int e = Shape::kElevationSide;
            part.dom = record.dom(domRect);
            part.weight = record.weight(domRect);
            part.dsm = record.dsm(cv::Rect(part.column * e, part.row * e, e, e));
            part.bands = &pyramids.bands;
            part.weights = &pyramids.weights;
            const int tx = static_cast<int>(x), ty = static_cast<int>(y);
            // The tile read stays held (the cache neither evicts nor writes it)
            // until this tile and its lower zooms are set.
            const std::shared_ptr<fw::TileBase> got = tileManager_->GetTile(tx, ty, zoom);
            auto tile = std::dynamic_pointer_cast<TerrainFusionMultiTile>(got);
            if (tile && hasShapes(*tile, levels, false)) {
                mergeIntoTile(*tile, part, levels, multiband);
            } else {
                tile = tileFromFrame(part, TileKey{tx, ty, zoom}, levels);
            }
            if (!tileManager_->SetTile(tx, ty, zoom, tile) && !multiband) {
                FW_LOG(Error) << "Can not set simple stitched DSM tile.";
                return false;
            }
            if (!multiband) renderLowerZooms(tx, ty, zoom);
        }
    }
    if (!multiband) return true;

    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x)
            if (!rebuildColour(*tileManager_, x, y, zoom)) return false;
    }
    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x)
            renderLowerZooms(static_cast<int>(x), static_cast<int>(y), zoom);
    }
    return true;
}
