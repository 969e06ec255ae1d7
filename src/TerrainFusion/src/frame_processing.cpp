#include "terrain/terrain_fusion.h"

#include "cluster/dbscan.h"
#include "fw/geodetic.h"
#include "fw/log.h"
#include "terrain/ground_plane.h"
#include "tiles/terrain_fusion_tile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

std::string fixed(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", v);
    return text;
}

bool cameraUsable(const std::shared_ptr<fw::CameraImpl>& camera) {
    return camera && camera->parameterVector().size() >= 3;
}

// The frame's key points with a positive inverse depth, in camera axes.
std::vector<pt::Point3d> keyPointsInCamera(fw::MapFrame& frame, const fw::CameraImpl& camera) {
    std::vector<pt::Point3d> points;
    const size_t count = frame.keyPointCount();
    for (size_t i = 0; i < count; ++i) {
        pt::Point2f pixel;
        pt::Point2d inverseDepth;
        if (!frame.getKeyPointPosition(static_cast<int>(i), pixel)) continue;
        if (!frame.getKeyPointInverseDepth(static_cast<int>(i), inverseDepth)) continue;
        if (!(inverseDepth.x > 0.0)) continue;
        const pt::Point3d ray = camera.unproject(pt::Point2d(pixel.x, pixel.y));
        const double d = 1.0 / inverseDepth.x;
        points.push_back({ray.x * d, ray.y * d, ray.z * d});
    }
    return points;
}

}  // namespace

int TerrainFusion::applyScaleRule(int z, float scale, int maxZoom) {
    const float lnScale = std::log(scale);
    const double steps = std::round(static_cast<double>(lnScale) / std::log(2.0));
    int zoom = static_cast<int>(static_cast<double>(z) - steps);
    zoom = std::min(zoom, maxZoom);
    return std::max(zoom, 0);
}

int TerrainFusion::zoomLevel() const {
    std::lock_guard<std::mutex> lock(zoomMutex_);
    return zoomLevel_;
}

bool TerrainFusion::zoomSettled() const {
    std::lock_guard<std::mutex> lock(zoomMutex_);
    return !zoomPending_;
}

TerrainFusion::GeoReference TerrainFusion::geoReference() const {
    std::lock_guard<std::mutex> lock(zoomMutex_);
    return geo_;
}

bool TerrainFusion::settleZoom(const std::shared_ptr<fw::MapFrame>& frame) {
    std::lock_guard<std::mutex> lock(zoomMutex_);
    if (!zoomPending_) return true;
    const pt::Point3d t = frame->getPose().translation;
    const double length = std::sqrt(t.x * t.x + t.y * t.y + t.z * t.z);
    bool ok = false;
    if (length > 100000.0) {
        // Settled for good only once the procedure succeeds; until then each
        // frame retries and is refused.
        ok = identifyZoom(frame, !zoomPrecomputed_);
        if (ok) zoomPending_ = false;
    } else {
        ok = identifyZoomWithoutGPS(frame, !zoomPrecomputed_);
    }
    if (!ok) FW_LOG(Error) << "Failed updateAlt.";
    return ok;
}

bool TerrainFusion::identifyZoom(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom) {
    const fw::SE3 pose = frame->getPose();
    pt::Point3d lla;
    if (!frame->getGPSLLA(lla)) return false;
    GeoReference geo = geo_;
    geo.enuToEcef = fw::SE3(enuRotation(lla.y, lla.x), pose.translation);
    geo.ecefToEnu = geo.enuToEcef.inverse();
    if (!computeZoom) {
        geo_ = geo;
        return true;
    }
    FW_LOG(Info) << "Terrainfusion identifyZoom, calculating zoom level";
    const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!cameraUsable(camera)) return false;
    const fw::SE3 local = geo.ecefToEnu * pose;
    std::vector<pt::Point3d> points = keyPointsInCamera(*frame, *camera);
    for (pt::Point3d& p : points) p = local * p;
    if (points.empty()) return false;
    std::vector<vec1d> heights;
    heights.reserve(points.size());
    for (const pt::Point3d& p : points) heights.emplace_back(p.z);
    DBSCAN<vec1d> dbscan;
    dbscan.run(heights, 1, 10.0, 5);
    double sum = 0.0;
    size_t used = 0;
    if (!dbscan.clusters.empty()) {
        const auto largest = std::max_element(dbscan.clusters.begin(), dbscan.clusters.end(),
                                              [](const auto& a, const auto& b) { return a.size() < b.size(); });
        for (uint32_t i : *largest) sum += heights[i].x;
        used = largest->size();
        geo.heightOffset = static_cast<float>(sum / used);
        FW_LOG(Info) << "Terrainfusion Height Offset: " << geo.heightOffset << ", cluster size: " << used;
    } else {
        for (const vec1d& h : heights) sum += h.x;
        used = heights.size();
        geo.heightOffset = static_cast<float>(sum / used);
        FW_LOG(Info) << "Terrainfusion Height Offset: " << geo.heightOffset << ", pointCloud size: " << used;
    }
    const double curHeight = std::fabs(local.translation.z - geo.heightOffset);
    const double f = camera->parameterVector()[2];
    const double gsd = curHeight / f;
    FW_LOG(Info) << "curHeight:" << curHeight << ", f" << f << ",gsd:" << gsd << ",lla" << fixed(lla.x) << " "
                 << fixed(lla.y) << " " << fixed(lla.z);
    if (!(gsd > 0.0) || !std::isfinite(gsd)) return false;
    const int z = projection_->zoomForResolution(gsd, lla.y);
    geo_ = geo;
    zoomLevel_ = applyScaleRule(z, settings_.scale, settings_.maxZoom);
    {
        std::lock_guard<std::mutex> stitch(stitchMutex_);
        TileArea area = tileManager_->getTileArea();
        area.z = zoomLevel_;
        tileManager_->setTileArea(area);
    }
    FW_LOG(Info) << "Terrainfusion Zoom Level: " << zoomLevel_;
    return true;
}

bool TerrainFusion::identifyZoomWithoutGPS(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom) {
    const fw::SE3 pose = frame->getPose();
    const double median = frame->getMedianDepth();
    if (!(median > 0.0) || !std::isfinite(median)) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " has median depth " << median;
        return false;
    }
    const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!cameraUsable(camera)) return false;
    const std::vector<pt::Point3d> points = keyPointsInCamera(*frame, *camera);
    fw::SE3 ground;
    std::vector<uint32_t> outliers;
    CalcPlane(points, ground, outliers, 0.1 * median);
    const pt::Point3d zAxis = ground.rotation * pt::Point3d{0.0, 0.0, 1.0};
    if (zAxis.z > 0.0) ground.rotation = ground.rotation * fw::SO3(1.0, 0.0, 0.0, 0.0);
    const pt::Point3d origin = store_.GetPoint3d("terrainfusion.fake_origin", pt::Point3d{0.0, 0.0, 0.0});
    GeoReference geo = geo_;
    geo.enuToEcef = fw::SE3(enuRotation(origin.y, origin.x), fw::geodeticToECEF(origin.y, origin.x, origin.z));
    geo.ecefToEnu = geo.enuToEcef.inverse();
    const fw::SE3 world = pose * ground;
    const double fakeHeight = store_.GetDouble("terrainfusion.fake_height", 200.0);
    geo.sceneToEcef = fw::SIM3(geo.enuToEcef * world.inverse(), fakeHeight / median);
    geo_ = geo;
    if (!computeZoom) return true;
    FW_LOG(Info) << "Terrainfusion identifyZoomWithoutGPS, calculating zoom level";
    const double gsd = fakeHeight / camera->parameterVector()[2];
    if (!(gsd > 0.0) || !std::isfinite(gsd)) return false;
    const int z = projection_->zoomForResolution(gsd, origin.y);
    zoomLevel_ = applyScaleRule(z, settings_.scale, settings_.maxZoom);
    FW_LOG(Info) << "Zoom Level:" << zoomLevel_;
    {
        std::lock_guard<std::mutex> stitch(stitchMutex_);
        TileArea area = tileManager_->getTileArea();
        area.z = zoomLevel_;
        tileManager_->setTileArea(area);
    }
    return true;
}

void TerrainFusion::Turn::wait() {
    std::unique_lock<std::mutex> lock(node_.turnMutex_);
    node_.turnCondition_.wait(lock, [this] { return finished_ || node_.servedTurn_ == number_; });
}

void TerrainFusion::Turn::finish() {
    {
        std::lock_guard<std::mutex> lock(node_.turnMutex_);
        if (finished_) return;
        finished_ = true;
        node_.passed_.insert(number_);
        while (!node_.passed_.empty() && *node_.passed_.begin() == node_.servedTurn_) {
            node_.passed_.erase(node_.passed_.begin());
            ++node_.servedTurn_;
        }
    }
    node_.turnCondition_.notify_all();
    node_.reportProgress(false);
}

std::shared_ptr<TerrainFusion::Turn> TerrainFusion::takeTurn() {
    std::lock_guard<std::mutex> lock(turnMutex_);
    return std::make_shared<Turn>(*this, nextTurn_++);
}

bool TerrainFusion::processPointCloud(const std::shared_ptr<fw::MapFrame>& frame,
                                      const std::vector<pt::Point3d>& points) {
    return processPointCloudInTurn(frame, points, nullptr);
}

bool TerrainFusion::processPointCloudInTurn(const std::shared_ptr<fw::MapFrame>& frame,
                                            const std::vector<pt::Point3d>& points, Turn* turn) {
    if (!cameraUsable(frame->getCamera(0))) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " has no camera with a focal length";
        return false;
    }
    // The first frames settle the map's origin and zoom, in their order.
    if (turn && !zoomSettled()) turn->wait();
    if (!settleZoom(frame)) return false;
    LocalDSMData record;
    if (!makeMap_idw(frame, record, points)) {
        FW_LOG(Error) << "Failed generate map.";
        return false;
    }
    return renderFrame(frame, record, frame->id, turn);
}

bool TerrainFusion::processFrame(const std::shared_ptr<fw::MapFrame>& frame) { return processFrameInTurn(frame, nullptr); }

bool TerrainFusion::processFrameInTurn(const std::shared_ptr<fw::MapFrame>& frame, Turn* turn) {
    FW_LOG(Info) << "Terrainfusion is working on " << frame->id;
    if (frame->keyPointCount() < 1) {
        FW_LOG(Error) << "Too few key points";
        return false;
    }
    const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!cameraUsable(camera)) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " has no camera with a focal length";
        return false;
    }
    if (turn && !zoomSettled()) turn->wait();
    if (!settleZoom(frame)) return false;
    fw::ObservationMap observations;
    frame->copyObservations(observations);
    const fw::SE3 pose = frame->getPose();
    std::vector<pt::Point3d> world;
    std::vector<double> depths;
    for (const auto& entry : observations) {
        pt::Point2d inverseDepth;
        pt::Point2f pixel;
        const int index = static_cast<int>(entry.second);
        if (!frame->getKeyPointInverseDepth(index, inverseDepth) || !(inverseDepth.x > 0.0)) continue;
        if (!frame->getKeyPointPosition(index, pixel)) continue;
        const double d = 1.0 / inverseDepth.x;
        const pt::Point3d ray = camera->unproject(pt::Point2d(pixel.x, pixel.y));
        world.push_back(pose * pt::Point3d{ray.x * d, ray.y * d, ray.z * d});
        depths.push_back(d);
    }
    double smallest = 1e9, largest = 0.0;
    for (double d : depths) {
        smallest = std::min(smallest, d);
        largest = std::max(largest, d);
    }
    std::vector<vec1d> values(depths.begin(), depths.end());
    DBSCAN<vec1d> dbscan;
    dbscan.run(values, 1, (largest - smallest) / 10.0, 20);
    double low = 1e9, high = -1e9;
    for (const auto& cluster : dbscan.clusters) {
        for (uint32_t i : cluster) {
            low = std::min(low, depths[i]);
            high = std::max(high, depths[i]);
        }
    }
    std::vector<pt::Point3d> kept;
    for (size_t i = 0; i < depths.size(); ++i) {
        if (depths[i] > low && depths[i] < high) kept.push_back(world[i]);
    }
    LocalDSMData record;
    if (!makeMap_idw(frame, record, kept)) {
        FW_LOG(Error) << "Failed generate map.";
        return false;
    }
    return renderFrame(frame, record, frame->id, turn);
}

void TerrainFusion::writeInspectionFiles(uint64_t name, const LocalDSMData& record) {
    if (fw::Settings::instance().GetInt("pointsfusion.save_local", 0) == 0) return;
    const std::string stem = std::to_string(name);
    try {
        cv::imwrite(stem + "_dom.jpg", record.dom);
        cv::imwrite(stem + "_weight.jpg", record.weight);
        double lo = 0.0, hi = 0.0;
        cv::minMaxLoc(record.dsm, &lo, &hi);
        cv::Mat dem;
        const double span = hi - lo;
        record.dsm.convertTo(dem, CV_8U, span > 0.0 ? 255.0 / span : 0.0, span > 0.0 ? -lo * 255.0 / span : 0.0);
        cv::imwrite(stem + "_dem.jpg", dem);
    } catch (const std::exception& e) {
        FW_LOG(Warning) << "TerrainFusion: inspection images not written: " << e.what();
    }
}

bool TerrainFusion::renderFrame(const std::shared_ptr<fw::MapFrame>&, const LocalDSMData& record, uint64_t name,
                                Turn* turn) {
    writeInspectionFiles(name, record);
    FramePyramids pyramids;
    if (renderMode_ == 2 || renderMode_ == 3) pyramids = framePyramids(record);
    if (turn) turn->wait();
    bool ok = true;
    if (renderMode_ == 2) {
        ok = stitchTiles(record, pyramids, false);
    } else if (renderMode_ == 3) {
        ok = stitchTiles(record, pyramids, true);
    }
    if (!ok) FW_LOG(Error) << "Stitch DSM error.";
    return ok;
}

void TerrainFusion::startRecord(const fw::MapFrame& frame, LocalDSMData& record) const {
    record.timestamp = frame.timestamp;
    const fw::Point2l tileSize = projection_->tileSize();
    record.tileWidth = tileSize.x;
    record.tileHeight = tileSize.y;
    record.dsmTileWidth = tileSize.x / TerrainTileShape::kCell;
    record.dsmTileHeight = tileSize.y / TerrainTileShape::kCell;
}

bool TerrainFusion::prepareReadyRasters(int32_t id, int64_t tileX, int64_t tileY, int32_t zoomIn,
                                        const std::shared_ptr<fw::MapFrame>& frame, LocalDSMData& record,
                                        cv::Mat dsm, cv::Mat dom, cv::Mat weight) {
    if (dsm.cols < 1 || dsm.rows < 1 || dom.cols < 1 || dom.rows < 1 || weight.cols < 1 || weight.rows < 1) {
        FW_LOG(Error) << "Invalid DSM/DOM was passed in - " << "Tile ID: " << id;
        return false;
    }
    startRecord(*frame, record);
    const int zoom = zoomLevel();
    const double k = std::ldexp(1.0, zoom - zoomIn);
    record.xMin = static_cast<int64_t>(k * tileX);
    record.yMin = static_cast<int64_t>(k * tileY);
    record.xMax = std::max(record.xMin, static_cast<int64_t>(k * (tileX + 1) - 1));
    record.yMax = std::max(record.yMin, static_cast<int64_t>(k * (tileY + 1) - 1));
    if ((record.xMax - record.xMin + 1) * (record.yMax - record.yMin + 1) > kMaxFrameTiles) {
        FW_LOG(Error) << "TerrainFusion: ready rasters of tile " << id << " span more than " << kMaxFrameTiles
                      << " tiles; refused";
        return false;
    }
    const fw::Point2l origin = projection_->tileToPixel(fw::Point2l(record.xMin, record.yMin));
    const fw::Point2l corner = projection_->tileToPixel(fw::Point2l(record.xMax, record.yMax));
    record.pixelOriginX = origin.x;
    record.pixelOriginY = origin.y;
    record.pixelCornerX = corner.x;
    record.pixelCornerY = corner.y;
    record.width = static_cast<int32_t>((record.xMax - record.xMin + 1) * record.tileWidth);
    record.height = static_cast<int32_t>((record.yMax - record.yMin + 1) * record.tileHeight);
    cv::resize(dom, record.dom, cv::Size(record.width, record.height), 0, 0, cv::INTER_LINEAR);
    dom.release();
    cv::resize(weight, record.weight, cv::Size(record.width, record.height), 0, 0, cv::INTER_NEAREST);
    weight.release();
    const int cell = TerrainTileShape::kCell;
    cv::resize(dsm, record.dsm, cv::Size(record.width / cell, record.height / cell), 0, 0, cv::INTER_NEAREST);
    dsm.release();
    if (record.dom.type() != CV_8UC3 || record.weight.type() != CV_8UC1 || record.dsm.type() != CV_32FC1) {
        FW_LOG(Error) << "Invalid DSM/DOM was passed in - " << "Tile ID: " << id;
        return false;
    }
    return true;
}
