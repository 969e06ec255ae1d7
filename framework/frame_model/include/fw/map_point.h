#pragma once
// A triangulated point of the map, observed by keypoints of several frames.

#include "pt/point.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace fw {

class MapPoint {
public:
    explicit MapPoint(uint64_t id, const pt::Point3d& position = {});
    virtual ~MapPoint();

    // World position, read and written under the point's mutex.
    pt::Point3d getPosition() const;
    void setPosition(const pt::Point3d& position);

    // Records that keypoint keyPointIndex of frame frameId sees the point;
    // false when that frame already observes it.
    virtual bool addObservation(uint64_t frameId, size_t keyPointIndex);
    // False when the frame does not observe the point.
    virtual bool eraseObservation(uint64_t frameId);
    // Frame id -> keypoint index.
    std::map<uint64_t, size_t> getObservations() const;
    size_t observationCount() const;

    const uint64_t id;
    mutable std::mutex mutex;

private:
    pt::Point3d position_;
    std::map<uint64_t, size_t> observations_;
};

}  // namespace fw
