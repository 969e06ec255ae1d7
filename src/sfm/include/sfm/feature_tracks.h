#pragma once
// Tracks: the keypoints of several frames that verified matches join into
// one scene point. Frames are numbered by the front end in flight order.

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

namespace fw {
class MapPoint;
}

namespace sfm {

struct TrackObservation {
    int frame = 0;
    int keyPoint = 0;
};

struct FeatureTrack {
    std::vector<TrackObservation> observations;
    cv::Vec3d point{0, 0, 0};
    bool triangulated = false;
    std::shared_ptr<fw::MapPoint> handedOn;  // once a located frame carries the point
};

class FeatureTracks {
public:
    // Joins two keypoints of different frames. Two tracks that would give a
    // frame two keypoints are not merged.
    void join(int frameA, int keyPointA, int frameB, int keyPointB);
    // Forgets a frame's observations; tracks left with none go.
    void dropFrame(int frame);
    // Takes one keypoint out of its track.
    void removeObservation(int frame, int keyPoint);
    // Track id of a keypoint; -1 when it is in none.
    int64_t trackOf(int frame, int keyPoint) const;
    // Track ids a frame observes.
    std::vector<int64_t> tracksOfFrame(int frame) const;

    FeatureTrack* find(int64_t id);
    const FeatureTrack* find(int64_t id) const;
    std::unordered_map<int64_t, FeatureTrack>& all() { return tracks_; }
    size_t size() const { return tracks_.size(); }

private:
    static uint64_t key(int frame, int keyPoint) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(frame)) << 32) | static_cast<uint32_t>(keyPoint);
    }
    bool hasFrame(const FeatureTrack& t, int frame) const;
    void add(int64_t id, int frame, int keyPoint);

    std::unordered_map<int64_t, FeatureTrack> tracks_;
    std::unordered_map<uint64_t, int64_t> byKeyPoint_;
    std::unordered_map<int, std::vector<int64_t>> byFrame_;
    int64_t nextId_ = 0;
};

}  // namespace sfm
