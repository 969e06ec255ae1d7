#include "fw/map_frame.h"

#include "fw/map_point.h"

namespace fw {

MapFrame::MapFrame(uint64_t id_, double timestamp_) : id(id_), timestamp(timestamp_) {}

MapFrame::~MapFrame() = default;

std::string MapFrame::type() const { return "InvalidFrame"; }

int MapFrame::cameraCount() { return 0; }
SE3 MapFrame::getCameraPose(int) { return SE3(); }
int MapFrame::imageColorFormat(int) { return 2; }
std::shared_ptr<CameraImpl> MapFrame::getCamera(int) { return std::make_shared<CameraImpl>(); }
GImage MapFrame::getImage(int, int) { return GImage(); }
bool MapFrame::setImage(const GImage&, int, int) { return false; }
bool MapFrame::imageHook() { return false; }

int MapFrame::attitudeCount() { return 0; }
SE3 MapFrame::getAttitudePose(int) { return SE3(); }
bool MapFrame::attitudeHookA() { return false; }
bool MapFrame::attitudeHookB() { return false; }
bool MapFrame::attitudeHookC() { return false; }
bool MapFrame::attitudeHookD() { return false; }
bool MapFrame::attitudeHookE() { return false; }
bool MapFrame::getAttitude(pt::Point3d&) { return false; }
bool MapFrame::getAttitudeSigma(pt::Point3d&) { return false; }

int MapFrame::gpsCount() { return 0; }
SE3 MapFrame::getGPSPose(int) { return SE3(); }
bool MapFrame::getGPSLLA(pt::Point3d&) { return false; }
bool MapFrame::getGPSLLASigma(pt::Point3d&) { return false; }
bool MapFrame::getGPSECEF(pt::Point3d&) { return false; }
bool MapFrame::getRelativeAltitude(pt::Point2d&) { return false; }

size_t MapFrame::keyPointCount() { return 0; }
bool MapFrame::setKeyPoints(const std::vector<KeyPoint>&, const GImage&) { return false; }
bool MapFrame::keyPointHook(int64_t, int64_t, int64_t, std::string) { return false; }
bool MapFrame::getKeyPoint(int, KeyPoint&) { return false; }
bool MapFrame::getKeyPointPosition(int, pt::Point2f&) { return false; }

std::vector<KeyPoint> MapFrame::getKeyPoints() {
    std::vector<KeyPoint> out;
    copyKeyPoints(out);
    return out;
}

bool MapFrame::copyKeyPoints(std::vector<KeyPoint>&) { return false; }
bool MapFrame::getKeyPointPositions(std::vector<pt::Point2f>&) { return false; }
bool MapFrame::getKeyPointColor(int, pt::Point3_<unsigned char>&) { return false; }
bool MapFrame::getKeyPointInverseDepth(int, pt::Point2d&) { return false; }
uint64_t MapFrame::getKeyPointObservation(int) { return 0; }
GImage MapFrame::getDescriptor(int) { return GImage(); }

BowVector MapFrame::getBoWVector() {
    BowVector out;
    copyBoWVector(out);
    return out;
}

bool MapFrame::copyBoWVector(BowVector&) { return false; }

FeatureVector MapFrame::getFeatureVector() {
    FeatureVector out;
    copyFeatureVector(out);
    return out;
}

bool MapFrame::copyFeatureVector(FeatureVector&) { return false; }

std::vector<size_t> MapFrame::getFeaturesInArea(const float&, const float&, const float&, bool) {
    return {};
}

int MapFrame::observationCount() { return 0; }

ObservationMap MapFrame::getObservations() {
    ObservationMap out;
    copyObservations(out);
    return out;
}

bool MapFrame::copyObservations(ObservationMap&) { return false; }
bool MapFrame::addObservation(const std::shared_ptr<MapPoint>&, size_t, bool) { return false; }
bool MapFrame::eraseObservation(const std::shared_ptr<MapPoint>&, bool) { return false; }
bool MapFrame::clearObservations() { return false; }

std::shared_ptr<void> MapFrame::getLinkA(uint64_t) { return nullptr; }
std::shared_ptr<void> MapFrame::getLinkB(uint64_t) { return nullptr; }
bool MapFrame::copyLinksA(LinkMap&) { return false; }
bool MapFrame::copyLinksB(LinkMap&) { return false; }
bool MapFrame::addLinkA(uint64_t, std::shared_ptr<void>) { return false; }
bool MapFrame::addLinkB(uint64_t, std::shared_ptr<void>) { return false; }
bool MapFrame::eraseLinkA(uint64_t) { return false; }
bool MapFrame::eraseLinkB(uint64_t) { return false; }
bool MapFrame::clearLinksA() { return false; }
bool MapFrame::clearLinksB() { return false; }

double MapFrame::getMedianDepth() {
    std::lock_guard<std::mutex> lock(mutex);
    return pose.scale;
}

SE3 MapFrame::getPose() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pose.se3();
}

void MapFrame::setPose(const SIM3& p) {
    std::lock_guard<std::mutex> lock(mutex);
    pose = p;
}

void MapFrame::setPose(const SE3& p) {
    std::lock_guard<std::mutex> lock(mutex);
    pose.rotation = p.rotation;
    pose.translation = p.translation;
}

}  // namespace fw
