#pragma once
// Errors of located frames against the synthetic truth: the worst relative
// rotation and relative position of neighbours (consecutive frames of a
// strip), for the front end's tests and benchmark.

#include "fw/map_frame.h"
#include "synthetic/ground_scene.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace sfm_test {

inline cv::Vec3d vec(const pt::Point3d& p) { return {p.x, p.y, p.z}; }

inline cv::Matx33d rotationOf(const fw::SE3& pose) {
    cv::Matx33d R;
    for (int axis = 0; axis < 3; ++axis) {
        const cv::Vec3d c = vec(pose.rotation * pt::Point3d(axis == 0, axis == 1, axis == 2));
        for (int r = 0; r < 3; ++r) R(r, axis) = c[r];
    }
    return R;
}

// The angle of a rotation, degrees.
inline double angleOf(const cv::Matx33d& R) {
    return std::acos(std::clamp((cv::trace(R) - 1.0) / 2.0, -1.0, 1.0)) / synthetic::kDegree;
}

struct NeighbourErrors {
    double rotation = 0.0;     // worst relative rotation, degrees
    double translation = 0.0;  // worst relative position error over the baseline
    double medianRotation = 0.0;  // degrees
};

// Neighbours are frames with consecutive ids in one strip of perStrip
// frames; relative positions are taken in the first frame's camera axes, so
// that they do not depend on the block's orientation.
inline NeighbourErrors neighbourErrors(const std::vector<synthetic::Shot>& shots,
                                       const std::vector<std::shared_ptr<fw::MapFrame>>& frames, int perStrip) {
    NeighbourErrors e;
    std::vector<double> rotations;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        const uint64_t a = frames[i]->id, b = frames[i + 1]->id;
        if (b != a + 1 || b % static_cast<uint64_t>(perStrip) == 0) continue;
        const synthetic::Shot &sa = shots[a], &sb = shots[b];
        const fw::SE3 pa = frames[i]->getPose(), pb = frames[i + 1]->getPose();
        const cv::Matx33d Ra = rotationOf(pa), Rb = rotationOf(pb);
        rotations.push_back(angleOf((Ra.t() * Rb).t() * (sa.R.t() * sb.R)));
        e.rotation = std::max(e.rotation, rotations.back());
        const cv::Vec3d found = Ra.t() * (vec(pb.translation) - vec(pa.translation));
        const cv::Vec3d truth = sa.R.t() * (sb.C - sa.C);
        e.translation = std::max(e.translation, cv::norm(found - truth) / cv::norm(truth));
    }
    if (!rotations.empty()) {
        std::sort(rotations.begin(), rotations.end());
        e.medianRotation = rotations[rotations.size() / 2];
    }
    return e;
}

}  // namespace sfm_test
