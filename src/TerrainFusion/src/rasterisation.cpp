#include "terrain/terrain_fusion.h"

#include "fw/geodetic.h"
#include "fw/image_decoding.h"
#include "fw/regular_file.h"
#include "fw/log.h"
#include "terrain/grid_elevation.h"
#include "terrain/ground_plane.h"
#include "terrain/undistorter.h"
#include "tiles/terrain_fusion_tile.h"

#include <cmath>
#include <sstream>

#include <opencv2/core.hpp>

namespace {

// The process-wide undistorter; replaced under its lock, used through copies
// of the pointer.
std::mutex undistorterLock;
std::shared_ptr<fw::UndistorterImpl> processUndistorter;

cv::Matx33d matrixOf(const fw::SO3& q) {
    const pt::Point3d ex = q * pt::Point3d{1, 0, 0};
    const pt::Point3d ey = q * pt::Point3d{0, 1, 0};
    const pt::Point3d ez = q * pt::Point3d{0, 0, 1};
    return cv::Matx33d(ex.x, ey.x, ez.x, ex.y, ey.y, ez.y, ex.z, ey.z, ez.z);
}
cv::Vec3d vecOf(const pt::Point3d& p) { return cv::Vec3d(p.x, p.y, p.z); }

// The frame's image, read and checked as the loader reads it.
bool readFrameImage(const std::string& path, cv::Mat& image) {
    std::string why;
    try {
        std::string bytes;
        if (!readRegularFile(path, bytes)) {
            FW_LOG(Error) << "TerrainFusion::makeMap_idw 1 - Wrong Path! " << path;
            return false;
        }
        image = decodeImage(bytes, why);
    } catch (const std::exception& e) {
        image.release();
        why = e.what();
    }
    if (image.empty()) {
        FW_LOG(Error) << "TerrainFusion::makeMap_idw 2 - Wrong Path! " << path << (why.empty() ? "" : " (" + why + ")");
        return false;
    }
    return true;
}

}  // namespace

bool TerrainFusion::makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame, LocalDSMData& record,
                                const std::vector<pt::Point3d>& points) {
    if (points.empty()) {
        FW_LOG(Error) << "Zero point was passed in - " << "Frame ID: " << frame->id << "Point Cnt: " << points.size();
        return false;
    }
    // One consistent copy of the geo-reference and zoom for the whole frame.
    GeoReference geo;
    int zoom = 0;
    {
        std::lock_guard<std::mutex> lock(zoomMutex_);
        geo = geo_;
        zoom = zoomLevel_;
    }
    const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!camera) return false;

    std::string framePath;
    frame->call("GetImagePath", &framePath);
    std::string path = framePath;
    const std::string folder = store_.GetString("imagepath", "");
    if (!folder.empty()) {
        const size_t slash = framePath.rfind('/');
        path = folder + (slash != std::string::npos && slash < 200 ? framePath.substr(slash) : framePath);
    }
    cv::Mat image;
    if (!readFrameImage(path, image)) return false;

    if (camera->typeName() != "PinHole") {
        std::shared_ptr<fw::UndistorterImpl> undistorter;
        {
            std::lock_guard<std::mutex> lock(undistorterLock);
            if (!processUndistorter || processUndistorter->cameraIn()->info() != camera->info())
                processUndistorter = std::make_shared<fw::UndistorterImpl>(camera, camera);
            undistorter = processUndistorter;
        }
        fw::GImage out;
        if (undistorter->undistort(fw::GImage(image), out)) image = static_cast<cv::Mat>(out).clone();
    }
    if (image.type() == CV_8UC4) {
        std::vector<cv::Mat> channels;
        cv::split(image, channels);
        channels.resize(3);
        cv::merge(channels, image);
    }
    if (image.type() != CV_8UC3) {
        FW_LOG(Error) << "imgIn.type() is CV_8UC3";
        return false;
    }

    startRecord(*frame, record);

    // Points into the local east-north-up frame.
    cv::Mat cloud(static_cast<int>(points.size()), 1, CV_32FC3);
    double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9, minZ = 1e9;
    for (size_t i = 0; i < points.size(); ++i) {
        const pt::Point3d p = geo.ecefToEnu * (geo.sceneToEcef * points[i]);
        cloud.at<cv::Vec3f>(static_cast<int>(i), 0) =
            cv::Vec3f(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
        minZ = std::min(minZ, p.z);
    }
    const pt::Point3d nwEcef = geo.enuToEcef * pt::Point3d{minX, maxY, minZ};
    const pt::Point3d nw = ecefToGeodetic(nwEcef.x, nwEcef.y, nwEcef.z);
    const float h = static_cast<float>(nw.z - minZ);
    const pt::Point3d seEcef = geo.enuToEcef * pt::Point3d{maxX, minY, minZ};
    const pt::Point3d se = ecefToGeodetic(seEcef.x, seEcef.y, seEcef.z);
    if (!std::isfinite(nw.x) || !std::isfinite(nw.y) || !std::isfinite(se.x) || !std::isfinite(se.y)) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " has points without a position";
        return false;
    }

    const fw::Point2l tileMin = projection_->latLonToTile(nw.x, nw.y, zoom);
    const fw::Point2l tileMax = projection_->latLonToTile(se.x, se.y, zoom);
    record.xMin = tileMin.x;
    record.yMin = tileMin.y;
    record.xMax = std::max(tileMax.x, tileMin.x);
    record.yMax = std::max(tileMax.y, tileMin.y);
    const int64_t columnsOfTiles = record.xMax - record.xMin + 1;
    const int64_t rowsOfTiles = record.yMax - record.yMin + 1;
    if (columnsOfTiles * rowsOfTiles > kMaxFrameTiles) {
        FW_LOG(Error) << "TF: frame " << frame->id << " spans " << columnsOfTiles << "x" << rowsOfTiles
                      << " tiles, more than " << kMaxFrameTiles << "; frame refused";
        return false;
    }
    const fw::Point2l origin = projection_->tileToPixel(tileMin);
    const fw::Point2l corner = projection_->tileToPixel(fw::Point2l(record.xMax, record.yMax));
    record.pixelOriginX = origin.x;
    record.pixelOriginY = origin.y;
    record.pixelCornerX = corner.x;
    record.pixelCornerY = corner.y;
    record.width = static_cast<int32_t>(columnsOfTiles * record.tileWidth);
    record.height = static_cast<int32_t>(rowsOfTiles * record.tileHeight);

    double heightSum = 0.0;
    for (int i = 0; i < cloud.rows; ++i) {
        cv::Vec3f& p = cloud.at<cv::Vec3f>(i, 0);
        p[2] += h;
        heightSum += p[2];
    }
    record.meanHeight = heightSum / cloud.rows;
    // Pixel sizes in the local frame's metres, east and north, from the
    // raster's corners: the projection's ground resolution is the sphere's
    // east-west scale, while the points are in the ellipsoid's metres.
    const fw::LatLon originLatLon = projection_->pixelToLatLon(origin.x, origin.y, zoom);
    const pt::Point3d gridOrigin =
        geo.ecefToEnu * fw::geodeticToECEF(originLatLon.lat, originLatLon.lon, 0.0);
    const fw::LatLon farLatLon = projection_->pixelToLatLon(origin.x + record.width, origin.y + record.height, zoom);
    const pt::Point3d gridFar = geo.ecefToEnu * fw::geodeticToECEF(farLatLon.lat, farLatLon.lon, 0.0);
    const double pixelEast = (gridFar.x - gridOrigin.x) / record.width;
    const double pixelNorth = (gridOrigin.y - gridFar.y) / record.height;
    if (!(pixelEast > 0.0) || !(pixelNorth > 0.0) || !std::isfinite(pixelEast) || !std::isfinite(pixelNorth)) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " has no usable raster scale";
        return false;
    }
    dv::Var params = dv::Var::object();
    // One elevation cell per kCell x kCell pixels.
    const int cell = TerrainTileShape::kCell;
    params["gsd"] = pixelEast * cell;
    params["gsd_lat"] = pixelNorth * cell;
    params["search_radius"] = 100;

    const int dsmColumns = record.width / cell, dsmRows = record.height / cell;
    std::vector<fw::GImage> grids =
        gridElevation(fw::GImage(cloud), gridOrigin.x, gridOrigin.y, dsmColumns, dsmRows, params);
    record.dsm = static_cast<cv::Mat>(grids[0]).clone();
    const cv::Mat cellWeight = grids[1];
    record.dom = cv::Mat(record.height, record.width, CV_8UC3, cv::Scalar(255, 255, 255));
    record.weight = cv::Mat(record.height, record.width, CV_8UC1, cv::Scalar(0));

    // Local east-north-up point to the camera frame: A p + b.
    const fw::SE3 framePose = frame->getPose();
    const cv::Matx33d rf = matrixOf(framePose.rotation).t();
    const cv::Matx33d rs = matrixOf(geo.sceneToEcef.rotation).t();
    const double s = geo.sceneToEcef.scale;
    const cv::Matx33d re = matrixOf(geo.enuToEcef.rotation);
    const cv::Matx33d a = rf * (rs * re) * (1.0 / s);
    const cv::Vec3d b =
        rf * ((rs * (vecOf(geo.enuToEcef.translation) - vecOf(geo.sceneToEcef.translation))) * (1.0 / s) -
              vecOf(framePose.translation));
    const int imageWidth = image.cols, imageHeight = image.rows;
    const int halfW = imageWidth / 2, halfH = imageHeight / 2;
    const double radius = std::trunc(std::sqrt(static_cast<double>(halfW) * halfW + static_cast<double>(halfH) * halfH));
    for (int r = 0; r < dsmRows; ++r) {
        const float* dsmRow = record.dsm.ptr<float>(r);
        const float* weightRow = cellWeight.ptr<float>(r);
        for (int c = 0; c < dsmColumns; ++c) {
            const bool empty = dsmRow[c] < -10000.0f;
            const double z = (empty ? record.meanHeight : dsmRow[c]) - h;
            for (int i = 0; i < cell; ++i) {
                const int row = cell * r + i;
                cv::Vec3b* domRow = record.dom.ptr<cv::Vec3b>(row);
                uint8_t* wRow = record.weight.ptr<uint8_t>(row);
                for (int j = 0; j < cell; ++j) {
                    const int column = cell * c + j;
                    // The pixel's centre.
                    const cv::Vec3d local(gridOrigin.x + (column + 0.5) * pixelEast,
                                          gridOrigin.y - (row + 0.5) * pixelNorth, z);
                    const cv::Vec3d p = a * local + b;
                    const pt::Point2d uv = camera->project(pt::Point3d{p[0], p[1], p[2]});
                    if (!(uv.x > -1.0 && uv.y > -1.0) || !(uv.x < imageWidth && uv.y < imageHeight)) continue;
                    const int u = static_cast<int>(uv.x), v = static_cast<int>(uv.y);
                    if (u < 0 || v < 0 || u >= imageWidth || v >= imageHeight) continue;
                    domRow[column] = image.at<cv::Vec3b>(v, u);
                    int w = 1;
                    if (!empty) {
                        const double d = std::trunc(std::hypot(u - halfW, v - halfH));
                        w = static_cast<int>(std::trunc(255.0 - 128.0 * d / radius)) & 255;
                    }
                    wRow[column] = static_cast<uint8_t>(std::trunc(w * weightRow[c]));
                }
            }
        }
    }
    return true;
}

bool TerrainFusion::processDsmDomFrame(int index, const std::string& text, int zoomA, int zoomB,
                                       const std::shared_ptr<fw::MapFrame>& frame, cv::Mat dsm, cv::Mat dom,
                                       cv::Mat weight) {
    {
        std::lock_guard<std::mutex> lock(zoomMutex_);
        if (zoomPending_) {
            zoomPending_ = false;
            zoomLevel_ = std::max(0, std::min(zoomA + zoomB, settings_.maxZoom));
            FW_LOG(Info) << "Zoom Level:" << zoomLevel_;
            std::lock_guard<std::mutex> stitch(stitchMutex_);
            TileArea area = tileManager_->getTileArea();
            area.z = zoomLevel_;
            tileManager_->setTileArea(area);
        }
    }
    // The text names the rasters' tile at zoom zoomA + zoomB: "x_y".
    long long tileX = 0, tileY = 0;
    char separator = 0;
    std::istringstream position(text);
    if (!(position >> tileX >> separator >> tileY) || tileX < 0 || tileY < 0) {
        FW_LOG(Error) << "Invalid DSM/DOM was passed in - " << "Tile ID: " << index << " (tile \"" << text << "\")";
        return false;
    }
    LocalDSMData record;
    if (!prepareReadyRasters(index, tileX, tileY, zoomA + zoomB, frame, record, dsm, dom, weight)) {
        FW_LOG(Error) << "Failed generate map.";
        return false;
    }
    return renderFrame(frame, record, static_cast<uint64_t>(index));
}
