#include "fw/map_point.h"

namespace fw {

MapPoint::MapPoint(uint64_t id_, const pt::Point3d& position) : id(id_), position_(position) {}

MapPoint::~MapPoint() = default;

pt::Point3d MapPoint::getPosition() const {
    std::lock_guard<std::mutex> lock(mutex);
    return position_;
}

void MapPoint::setPosition(const pt::Point3d& position) {
    std::lock_guard<std::mutex> lock(mutex);
    position_ = position;
}

bool MapPoint::addObservation(uint64_t frameId, size_t keyPointIndex) {
    std::lock_guard<std::mutex> lock(mutex);
    return observations_.emplace(frameId, keyPointIndex).second;
}

bool MapPoint::eraseObservation(uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex);
    return observations_.erase(frameId) > 0;
}

std::map<uint64_t, size_t> MapPoint::getObservations() const {
    std::lock_guard<std::mutex> lock(mutex);
    return observations_;
}

size_t MapPoint::observationCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return observations_.size();
}

}  // namespace fw
