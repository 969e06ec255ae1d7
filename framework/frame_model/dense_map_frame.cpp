#include "fw/dense_map_frame.h"

#include "fw/geodetic.h"
#include "fw/gps_layout.h"
#include "fw/map_point.h"
#include "fw/vocabulary.h"

#include <algorithm>
#include <cmath>

namespace {

// A float cell coordinate as an int, kept within [-1, 32] so that the
// conversion is always defined; NaN gives -1.
int cellIndex(float v) {
    if (!(v >= -1.0f)) return -1;
    return v > 32.0f ? 32 : int(v);
}

}  // namespace

MapFrame::MapFrame(uint64_t id_, double timestamp_, const fw::GImage& image,
                   const std::string& imagePath, const std::shared_ptr<fw::CameraImpl>& camera,
                   const std::vector<double>& gpsValues, int colourFormat)
    : fw::MapFrame(id_, timestamp_), gps(gpsValues), image_(image), colourFormat_(colourFormat),
      imagePath_(imagePath), camera_(camera) {}

std::string MapFrame::type() const { return "DIYFrame"; }

void MapFrame::call(const std::string& command, void* arg) {
    if (!arg) return;
    if (command == "GetKeyPoint") {
        auto* query = static_cast<KeyPointQuery*>(arg);
        if (query->index < keyPoints.size()) {
            query->x = keyPoints[query->index].keyPoint.x;
            query->y = keyPoints[query->index].keyPoint.y;
        }
    } else if (command == "GetGPS") {
        auto* out = static_cast<std::vector<double>*>(arg);
        if (!gps.empty() && out != &gps) *out = gps;
    } else if (command == "GetImagePath") {
        std::lock_guard<std::mutex> lock(mutex);
        *static_cast<std::string*>(arg) = imagePath_;
    } else if (command == "SetImagePath") {
        std::lock_guard<std::mutex> lock(mutex);
        imagePath_ = *static_cast<std::string*>(arg);
    }
}

int MapFrame::cameraCount() { return 1; }
int MapFrame::imageColorFormat(int) { return colourFormat_; }
std::shared_ptr<fw::CameraImpl> MapFrame::getCamera(int) { return camera_; }

fw::GImage MapFrame::getImage(int, int) {
    std::lock_guard<std::mutex> lock(mutex);
    return image_;
}

bool MapFrame::setImage(const fw::GImage& image, int, int) {
    fw::GImage old;
    {
        std::lock_guard<std::mutex> lock(mutex);
        old = image_;
        image_ = image;
    }
    return true;  // the old pixels go outside the lock
}

// GPS and attitude, where the layout table puts them.

int MapFrame::attitudeCount() {
    const fw::GpsLayout* layout = fw::gpsLayout(gps.size());
    return layout && layout->attitude >= 0 ? 1 : 0;
}

bool MapFrame::getAttitude(pt::Point3d& pitchYawRoll) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps.size());
    if (!layout || layout->attitude < 0) return false;
    // Accepted while the pitch deviation is below 20.
    if (!(gps[static_cast<size_t>(layout->attitudeSigma)] < 20.0)) return false;
    return fw::gpsTriple(gps, layout->attitude, pitchYawRoll);
}

bool MapFrame::getAttitudeSigma(pt::Point3d& sigma) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps.size());
    return layout && fw::gpsTriple(gps, layout->attitudeSigma, sigma);
}

int MapFrame::gpsCount() {
    return gps.size() >= fw::kGpsPositionLength && gps[fw::kGpsPositionSigma] < 10.0 ? 1 : 0;
}

bool MapFrame::getGPSLLA(pt::Point3d& lonLatAlt) {
    if (gpsCount() == 0) return false;
    fw::gpsTriple(gps, fw::kGpsPosition, lonLatAlt);
    return gps[fw::kGpsPositionSigma] < 100.0;
}

bool MapFrame::getGPSLLASigma(pt::Point3d& sigma) {
    if (gps.size() < fw::kGpsPositionLength) return false;
    return fw::gpsTriple(gps, fw::kGpsPositionSigma, sigma);
}

bool MapFrame::getGPSECEF(pt::Point3d& xyz) {
    pt::Point3d lla;
    if (!getGPSLLA(lla)) return false;
    xyz = fw::geodeticToECEF(lla.y, lla.x, lla.z);
    return true;
}

bool MapFrame::getRelativeAltitude(pt::Point2d& heightAndSigma) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps.size());
    if (!layout || layout->relativeAltitude < 0) return false;
    const size_t at = static_cast<size_t>(layout->relativeAltitude);
    heightAndSigma = {gps[at], gps[at + 1]};
    return gps[at + 1] < 100.0;
}

// Keypoints.

size_t MapFrame::keyPointCount() { return keyPoints.size(); }

bool MapFrame::setKeyPoints(const std::vector<fw::KeyPoint>& keypoints,
                            const fw::GImage& descriptorImage) {
    descriptors = descriptorImage;
    {
        std::lock_guard<std::mutex> lock(mutex);
        keyPoints.resize(keypoints.size());
    }
    // Setting keypoints again starts from an empty grid and empty vectors.
    for (auto& cell : grid) cell.clear();
    {
        std::lock_guard<std::mutex> lock(vectorsMutex_);
        bowVector.clear();
        featureVector.clear();
    }

    const fw::GImage image = getImage(0, 0);
    const bool swap = (imageColorFormat(0) & 1) == 0;
    for (size_t i = 0; i < keypoints.size(); ++i) {
        KeyPointRecord& r = keyPoints[i];
        r.keyPoint = keypoints[i];
        const float x = r.keyPoint.x, y = r.keyPoint.y;
        if (!image.data) {
            r.colour = {255, 255, 255};
        } else if (!(x > -1.0f && y > -1.0f && x < float(image.cols) && y < float(image.rows))) {
            r.colour = {255, 255, 255};  // outside the image: no pixel to read
        } else {
            const size_t index = size_t(int(y)) * size_t(image.cols) + size_t(int(x));
            if (image.type == CV_8UC1) {
                const unsigned char g = image.data[index];
                r.colour = {g, g, g};
            } else if (image.type == CV_8UC3 || image.type == CV_8UC4) {
                const unsigned char* p = image.data + index * (image.type == CV_8UC3 ? 3 : 4);
                r.colour = swap ? pt::Point3_<unsigned char>(p[2], p[1], p[0])
                                : pt::Point3_<unsigned char>(p[0], p[1], p[2]);
            } else {
                r.colour = {0, 0, 0};
            }
        }
        if (camera_) r.ray = camera_->unproject({double(x), double(y)});
    }

    const size_t reserve = size_t(double(keypoints.size()) * 0.5 * 0.0009765625);
    for (auto& cell : grid) cell.reserve(reserve);
    if (camera_ && camera_->width >= 1 && camera_->height >= 1) {
        const float cw = float(kGridSize) / float(camera_->width);
        const float ch = float(kGridSize) / float(camera_->height);
        for (size_t i = 0; i < keyPoints.size(); ++i) {
            const int cx = cellIndex(std::roundf(cw * keyPoints[i].keyPoint.x));
            const int cy = cellIndex(std::roundf(ch * keyPoints[i].keyPoint.y));
            if (cx >= 0 && cx < kGridSize && cy >= 0 && cy < kGridSize)
                grid[cx * kGridSize + cy].push_back(i);
        }
    }
    return true;
}

bool MapFrame::getKeyPoint(int idx, fw::KeyPoint& out) {
    if (!validIndex(idx)) return false;
    out = keyPoints[size_t(idx)].keyPoint;
    return true;
}

bool MapFrame::getKeyPointPosition(int idx, pt::Point2f& out) {
    if (!validIndex(idx)) return false;
    out = {keyPoints[size_t(idx)].keyPoint.x, keyPoints[size_t(idx)].keyPoint.y};
    return true;
}

std::vector<fw::KeyPoint> MapFrame::getKeyPoints() {
    std::vector<fw::KeyPoint> out(keyPointCount());
    for (size_t i = 0; i < out.size(); ++i) getKeyPoint(int(i), out[i]);
    return out;
}

bool MapFrame::getKeyPointPositions(std::vector<pt::Point2f>& out) {
    out.reserve(keyPoints.size());
    for (const auto& r : keyPoints) out.emplace_back(r.keyPoint.x, r.keyPoint.y);
    return true;
}

bool MapFrame::getKeyPointColor(int idx, pt::Point3_<unsigned char>& out) {
    if (!validIndex(idx)) return false;
    out = keyPoints[size_t(idx)].colour;
    return true;
}

bool MapFrame::getKeyPointInverseDepth(int idx, pt::Point2d& out) {
    if (!validIndex(idx)) return false;
    std::shared_ptr<fw::MapPoint> point;
    {
        std::lock_guard<std::mutex> lock(mutex);
        point = keyPoints[size_t(idx)].point;
    }
    if (!point) return false;
    const pt::Point3d world = point->getPosition();
    const double depth = (getPose().inverse() * world).z;
    if (!(depth >= 0.1)) return false;
    out = {1.0 / depth, -1.0};
    return true;
}

uint64_t MapFrame::getKeyPointObservation(int idx) {
    if (!validIndex(idx)) return 0;
    std::lock_guard<std::mutex> lock(mutex);
    const auto& point = keyPoints[size_t(idx)].point;
    return point ? point->id : 0;
}

fw::GImage MapFrame::getDescriptor(int idx) {
    if (idx < 0) return descriptors;
    if (!descriptors.data || idx >= descriptors.rows) return fw::GImage();
    return fw::GImage(1, descriptors.cols, descriptors.type,
                      descriptors.data + int64_t(idx) * descriptors.cols * descriptors.elemSize(),
                      false);
}

// Bag of words, computed once with the shared vocabulary.

bool MapFrame::computeVectors() {
    const fw::Vocabulary* vocabulary = fw::sharedVocabulary();
    if (!vocabulary || vocabulary->empty() || !descriptors.data) return false;
    vocabulary->transform(descriptors, bowVector, featureVector, int(vocabulary->depth) - 3);
    return true;
}

bool MapFrame::copyBoWVector(fw::BowVector& out) {
    std::lock_guard<std::mutex> lock(vectorsMutex_);
    if (bowVector.empty() && !computeVectors()) return false;
    out = bowVector;
    return true;
}

bool MapFrame::copyFeatureVector(fw::FeatureVector& out) {
    std::lock_guard<std::mutex> lock(vectorsMutex_);
    if (featureVector.empty() && !computeVectors()) return false;
    out = featureVector;
    return true;
}

std::vector<size_t> MapFrame::getFeaturesInArea(const float& x, const float& y, const float& r,
                                                bool exact) {
    std::vector<size_t> result;
    if (!camera_ || camera_->width < 1 || camera_->height < 1) return result;
    const float cw = float(kGridSize) / float(camera_->width);
    const float ch = float(kGridSize) / float(camera_->height);
    const int minX = std::max(0, cellIndex(std::floor((x - r) * cw)));
    if (minX >= kGridSize) return result;
    const int maxX = std::min(kGridSize - 1, cellIndex(std::ceil((x + r) * cw)));
    if (maxX < 0) return result;
    const int minY = std::max(0, cellIndex(std::floor((y - r) * ch)));
    if (minY >= kGridSize) return result;
    const int maxY = std::min(kGridSize - 1, cellIndex(std::ceil((y + r) * ch)));
    if (maxY < 0) return result;

    result.reserve(keyPoints.size());
    for (int ix = minX; ix <= maxX; ++ix) {
        for (int iy = minY; iy <= maxY; ++iy) {
            for (size_t i : grid[ix * kGridSize + iy]) {
                if (exact) {
                    const float dx = keyPoints[i].keyPoint.x - x, dy = keyPoints[i].keyPoint.y - y;
                    if (dx * dx + dy * dy > r * r) continue;
                }
                result.push_back(i);
            }
        }
    }
    return result;
}

// Observations.

int MapFrame::observationCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return int(observations.size());
}

bool MapFrame::copyObservations(fw::ObservationMap& out) {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < keyPoints.size(); ++i)
        if (keyPoints[i].point) out.emplace(keyPoints[i].point->id, uint64_t(i));
    return true;
}

bool MapFrame::addObservation(const std::shared_ptr<fw::MapPoint>& point, size_t idx,
                              bool updatePoint) {
    if (!point || idx >= keyPoints.size()) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (observations.count(point->id) || keyPoints[idx].point) return false;
    if (updatePoint && !point->addObservation(id, idx)) return false;
    keyPoints[idx].point = point;
    observations[point->id] = idx;
    return true;
}

bool MapFrame::eraseObservation(const std::shared_ptr<fw::MapPoint>& point, bool updatePoint) {
    if (!point) return false;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = observations.find(point->id);
    if (it == observations.end() || it->second >= keyPoints.size()) return false;
    KeyPointRecord& record = keyPoints[it->second];
    if (!record.point) return false;
    if (updatePoint && !point->eraseObservation(id)) return false;
    record.point.reset();
    observations.erase(it);
    return true;
}

bool MapFrame::clearObservations() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [pointId, index] : observations) {
        (void)pointId;
        if (index >= keyPoints.size()) continue;
        KeyPointRecord& record = keyPoints[index];
        if (record.point) record.point->eraseObservation(id);
        record.point.reset();
    }
    observations.clear();
    return true;
}

// Links.

std::shared_ptr<void> MapFrame::getLinkA(uint64_t linkId) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = linksA_.find(linkId);
    return it == linksA_.end() ? nullptr : it->second;
}

std::shared_ptr<void> MapFrame::getLinkB(uint64_t linkId) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = linksB_.find(linkId);
    return it == linksB_.end() ? nullptr : it->second;
}

bool MapFrame::copyLinksA(fw::LinkMap& out) {
    std::lock_guard<std::mutex> lock(mutex);
    out = linksA_;
    return true;
}

bool MapFrame::copyLinksB(fw::LinkMap& out) {
    std::lock_guard<std::mutex> lock(mutex);
    out = linksB_;
    return true;
}

bool MapFrame::addLinkA(uint64_t linkId, std::shared_ptr<void> link) {
    std::lock_guard<std::mutex> lock(mutex);
    linksA_[linkId] = std::move(link);
    return true;
}

bool MapFrame::addLinkB(uint64_t linkId, std::shared_ptr<void> link) {
    std::lock_guard<std::mutex> lock(mutex);
    linksB_[linkId] = std::move(link);
    return true;
}

bool MapFrame::eraseLinkA(uint64_t linkId) {
    std::lock_guard<std::mutex> lock(mutex);
    return linksA_.erase(linkId) > 0;
}

bool MapFrame::eraseLinkB(uint64_t linkId) {
    std::lock_guard<std::mutex> lock(mutex);
    return linksB_.erase(linkId) > 0;
}

bool MapFrame::clearLinksA() {
    std::lock_guard<std::mutex> lock(mutex);
    linksA_.clear();
    return true;
}

bool MapFrame::clearLinksB() {
    std::lock_guard<std::mutex> lock(mutex);
    linksB_.clear();
    return true;
}

// Median depth.

double MapFrame::getMedianDepth() {
    const double cached = medianDepth_.load();
    if (cached > 0) return cached;
    fw::ObservationMap observed;
    copyObservations(observed);
    if (observed.empty()) return -1.0;
    std::vector<std::shared_ptr<fw::MapPoint>> points;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : observed)
            if (keyPoints[entry.second].point) points.push_back(keyPoints[entry.second].point);
    }
    const fw::SE3 worldToCamera = getPose().inverse();
    std::vector<float> depths;
    for (const auto& p : points) depths.push_back(float((worldToCamera * p->getPosition()).z));
    if (depths.empty()) return -1.0;
    std::sort(depths.begin(), depths.end());
    const double median = depths[(depths.size() - 1) / 2];
    medianDepth_.store(median);
    return median;
}
