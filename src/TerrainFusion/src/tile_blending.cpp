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

cv::Mat matOf(const fw::GImage& image) { return static_cast<cv::Mat>(image); }

// Whether the tile has the images that the writers index, with pyramids of
// levels + 1 entries halving from the tile size.
bool hasShapes(const TerrainFusionMultiTile& tile, int levels, bool withPyramids) {
    const cv::Mat image = matOf(tile.image), weight = matOf(tile.weight), elevation = matOf(tile.elevation);
    if (image.type() != CV_8UC3 || image.rows != 256 || image.cols != 256) return false;
    if (weight.type() != CV_8UC1 || weight.size() != image.size()) return false;
    if (elevation.type() != CV_32FC1 || elevation.rows != 64 || elevation.cols != 64) return false;
    if (!withPyramids) return true;
    if (tile.imagePyramid.size() != static_cast<size_t>(levels) + 1 || tile.weightPyramid.size() != tile.imagePyramid.size())
        return false;
    for (int l = 0; l <= levels; ++l) {
        const cv::Mat band = matOf(tile.imagePyramid[l]), w = matOf(tile.weightPyramid[l]);
        const int s = 256 >> l;
        if (band.type() != CV_16SC3 || band.rows != s || band.cols != s) return false;
        if (w.type() != CV_8UC1 || w.rows != s || w.cols != s) return false;
    }
    return true;
}

}  // namespace

int TerrainFusion::pyramidLevels() {
    const int side = 256;
    const int byTile = static_cast<int>(std::ceil(std::log2(static_cast<double>(side))));
    return std::min(byTile, renderZooms());
}

namespace {

bool rastersFit(const TerrainFusion::LocalDSMData& record) {
    return record.tileWidth == 256 && record.tileHeight == 256 && record.dom.type() == CV_8UC3 &&
           record.weight.type() == CV_8UC1 && record.dsm.type() == CV_32FC1 && record.dom.cols == record.width &&
           record.dom.rows == record.height && record.weight.size() == record.dom.size() &&
           record.dsm.cols == record.width / 4 && record.dsm.rows == record.height / 4;
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
    const std::vector<cv::Mat>& bands = pyramids.bands;
    const std::vector<cv::Mat>& weights = pyramids.weights;

    const int64_t columns = record.xMax - record.xMin + 1;
    const int64_t rows = record.yMax - record.yMin + 1;
    if (columns * rows > 500) FW_LOG(Warning) << "TF: Too many tiles to stitch: " << columns << "x" << rows;
    const int zoom = zoomLevel();

    std::lock_guard<std::mutex> stitch(stitchMutex_);
    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x) {
            const int ox = static_cast<int>(x - record.xMin), oy = static_cast<int>(y - record.yMin);
            const cv::Rect domRect(ox * 256, oy * 256, 256, 256);
            const cv::Rect dsmRect(ox * 64, oy * 64, 64, 64);
            const cv::Mat frameDom = record.dom(domRect), frameWeight = record.weight(domRect),
                          frameDsm = record.dsm(dsmRect);
            const int tx = static_cast<int>(x), ty = static_cast<int>(y);
            std::shared_ptr<fw::TileBase> got = tileManager_->GetTile(tx, ty, zoom);
            auto tile = std::dynamic_pointer_cast<TerrainFusionMultiTile>(got);
            if (tile && hasShapes(*tile, levels, false)) {
                if (multiband && !hasShapes(*tile, levels, true)) {
                    // Pyramids of another depth: made again from the tile's images.
                    std::vector<cv::Mat> tileBands;
                    buildLaplacianPyramid(fillUncovered(matOf(tile->image), matOf(tile->weight)), levels, tileBands);
                    tile->imagePyramid.clear();
                    for (const cv::Mat& band : tileBands) tile->imagePyramid.emplace_back(band.clone());
                    tile->weightPyramid.clear();
                    cv::Mat w = matOf(tile->weight).clone();
                    tile->weightPyramid.emplace_back(w);
                    for (int l = 0; l < levels; ++l) {
                        cv::Mat next;
                        cv::pyrDown(w, next);
                        tile->weightPyramid.emplace_back(next);
                        w = next;
                    }
                }
                cv::Mat image = matOf(tile->image), weight = matOf(tile->weight), elevation = matOf(tile->elevation);
                for (int r = 0; r < 64; ++r) {
                    const uint8_t* fw4 = frameWeight.ptr<uint8_t>(4 * r);
                    const uint8_t* tw4 = weight.ptr<uint8_t>(4 * r);
                    const float* fd = frameDsm.ptr<float>(r);
                    float* td = elevation.ptr<float>(r);
                    for (int c = 0; c < 64; ++c) {
                        if (fw4[4 * c] > tw4[4 * c]) td[c] = fd[c];
                    }
                }
                for (int r = 0; r < 256; ++r) {
                    const cv::Vec3b* fd = frameDom.ptr<cv::Vec3b>(r);
                    const uint8_t* fwr = frameWeight.ptr<uint8_t>(r);
                    cv::Vec3b* td = image.ptr<cv::Vec3b>(r);
                    uint8_t* twr = weight.ptr<uint8_t>(r);
                    for (int c = 0; c < 256; ++c) {
                        if (fwr[c] > twr[c]) {
                            td[c] = fd[c];
                            twr[c] = fwr[c];
                        }
                    }
                }
                if (multiband) {
                    for (int l = 0; l <= levels; ++l) {
                        const int s = 256 >> l;
                        const cv::Rect rect(ox * s, oy * s, s, s);
                        const cv::Mat fb = bands[l](rect), fwl = weights[l](rect);
                        cv::Mat tb = matOf(tile->imagePyramid[l]), twl = matOf(tile->weightPyramid[l]);
                        for (int r = 0; r < s; ++r) {
                            const cv::Vec3s* fbr = fb.ptr<cv::Vec3s>(r);
                            const uint8_t* fwr = fwl.ptr<uint8_t>(r);
                            cv::Vec3s* tbr = tb.ptr<cv::Vec3s>(r);
                            uint8_t* twr = twl.ptr<uint8_t>(r);
                            for (int c = 0; c < s; ++c) {
                                if (fwr[c] > twr[c]) {
                                    tbr[c] = fbr[c];
                                    twr[c] = fwr[c];
                                }
                            }
                        }
                    }
                }
                tile->setTimestamp(steadySeconds());
                tile->setModified(true);
                if (!tileManager_->SetTile(tx, ty, zoom, tile) && !multiband) {
                    FW_LOG(Error) << "Can not set simple stitched DSM tile.";
                    return false;
                }
            } else {
                std::vector<fw::GImage> imagePyramid, weightPyramid;
                for (int l = 0; l <= levels; ++l) {
                    const int s = 256 >> l;
                    const cv::Rect rect(ox * s, oy * s, s, s);
                    imagePyramid.emplace_back(bands[l](rect).clone());
                    weightPyramid.emplace_back(weights[l](rect).clone());
                }
                auto made = std::make_shared<TerrainFusionMultiTile>(
                    fw::GImage(frameDom.clone()), fw::GImage(frameDsm.clone()), TileKey{tx, ty, zoom}, steadySeconds(),
                    fw::GImage(frameWeight.clone()), fw::GImage(), 0);
                made->imagePyramid = std::move(imagePyramid);
                made->weightPyramid = std::move(weightPyramid);
                made->setModified(true);
                if (!tileManager_->SetTile(tx, ty, zoom, made) && !multiband) {
                    FW_LOG(Error) << "Can not set simple stitched DSM tile.";
                    return false;
                }
            }
            if (!multiband) renderLowerZooms(tx, ty, zoom);
        }
    }
    if (!multiband) return true;

    // Rebuild of each tile's colour from its blended bands and its neighbours'.
    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x) {
            const int tx = static_cast<int>(x), ty = static_cast<int>(y);
            auto centre = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tileManager_->GetTile(tx, ty, zoom));
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
                        tileManager_->GetTile(static_cast<int>(nx), static_cast<int>(ny), zoom));
                    if (n && hasShapes(*n, tileLevels, true)) around[dy + 1][dx + 1] = n;
                }
            }
            // Each level padded by its neighbours' strips; where a neighbour is
            // missing, by the centre's own level mirrored across that edge.
            std::vector<cv::Mat> padded(static_cast<size_t>(tileLevels) + 1);
            for (int l = 0; l <= tileLevels; ++l) {
                const int s = 256 >> l;
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
            colour(cv::Rect(offset, offset, 256, 256)).copyTo(target);
            centre->setTimestamp(steadySeconds());
            centre->setModified(true);
            tileManager_->SetTile(tx, ty, zoom, centre);
        }
    }
    for (int64_t y = record.yMin; y <= record.yMax; ++y) {
        for (int64_t x = record.xMin; x <= record.xMax; ++x)
            renderLowerZooms(static_cast<int>(x), static_cast<int>(y), zoom);
    }
    return true;
}
