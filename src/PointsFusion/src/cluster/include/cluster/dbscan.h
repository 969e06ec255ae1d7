#pragma once
// Density clustering (DBSCAN) of points whose first dim coordinates take
// part, neighbourhoods found with a k-d tree. Only core points (at least
// minPts neighbours within eps, the point itself not counted) join a cluster;
// every other point is noise. Not thread-safe: one run at a time per object.

#include "cluster/kd_tree.h"
#include "pt/point.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

// A single value as a point of dimension 1.
struct vec1d {
    double x = 0.0;
    vec1d() = default;
    vec1d(double v) : x(v) {}  // NOLINT: a value is a point
};

namespace cluster {

// Coordinates of the supported point types.
template <typename Point>
struct PointCoordinates;

template <>
struct PointCoordinates<pt::Point3_<double>> {
    static constexpr unsigned kCount = 3;
    static void copy(const pt::Point3_<double>& p, double* out) {
        out[0] = p.x;
        out[1] = p.y;
        out[2] = p.z;
    }
};

template <>
struct PointCoordinates<vec1d> {
    static constexpr unsigned kCount = 1;
    static void copy(const vec1d& p, double* out) { out[0] = p.x; }
};

}  // namespace cluster

template <typename Point>
class DBSCAN {
public:
    using Distance = std::function<double(const Point&, const Point&)>;

    // Clusters points (which must outlive the run). 0 after a run; 1 without
    // a run (members unchanged) for no points, dim 0, minPts 0 or dim above
    // the point's coordinate count; 2 when memory for the tree runs out
    // (no clusters, every point noise).
    int run(const std::vector<Point>& points, uint32_t dim, double eps, uint32_t minPts,
            Distance distance = Distance());

    std::vector<std::vector<uint32_t>> clusters;  // in order of discovery
    std::vector<uint32_t> noise;                  // ascending

private:
    void neighbours(uint32_t i, std::vector<uint32_t>& out) const;
    void expand(std::vector<uint32_t>& cluster, const std::vector<uint32_t>& seeds);
    void clearSeen();
    // True when i was not seen yet in this round; marks it.
    bool markSeen(uint32_t i) {
        if (seenRound_[i] == round_) return false;
        seenRound_[i] = round_;
        return true;
    }

    std::vector<bool> visited_;
    std::vector<bool> clustered_;
    // Indices queued for the cluster being grown: those marked with the current round.
    std::vector<uint32_t> seenRound_;
    uint32_t round_ = 0;
    uint32_t pointCount_ = 0;
    uint32_t minPts_ = 0;
    double eps_ = 0.0;
    uint32_t dim_ = 0;
    Distance distance_;  // kept with the parameters; neighbourhoods use the Euclidean distance
    cluster::KdTree tree_{1};
    const std::vector<Point>* points_ = nullptr;
};

template <typename Point>
int DBSCAN<Point>::run(const std::vector<Point>& points, uint32_t dim, double eps, uint32_t minPts,
                       Distance distance) {
    const size_t n = points.size();
    if (n == 0 || dim == 0 || minPts == 0 || dim > cluster::PointCoordinates<Point>::kCount ||
        n > UINT32_MAX)
        return 1;
    visited_.assign(n, false);
    clustered_.assign(n, false);
    clusters.clear();
    noise.clear();
    seenRound_.assign(n, 0);
    round_ = 0;
    pointCount_ = uint32_t(n);
    minPts_ = minPts;
    eps_ = eps;
    dim_ = dim;
    distance_ = std::move(distance);
    points_ = &points;
    tree_ = cluster::KdTree(dim);

    int result = 0;
    double coordinates[cluster::PointCoordinates<Point>::kCount];
    for (uint32_t i = 0; i < pointCount_ && result == 0; ++i) {
        cluster::PointCoordinates<Point>::copy(points[i], coordinates);
        if (tree_.insert(coordinates, i) != 0) result = 2;
    }

    std::vector<uint32_t> found;
    for (uint32_t i = 0; i < pointCount_ && result == 0; ++i) {
        clearSeen();
        if (visited_[i]) continue;
        visited_[i] = true;
        neighbours(i, found);
        if (found.size() >= minPts_) {
            clusters.emplace_back();
            markSeen(i);
            clusters.back().push_back(i);
            clustered_[i] = true;
            expand(clusters.back(), found);
        }
    }
    if (result != 0) {
        clusters.clear();
        clustered_.assign(n, false);
    }
    for (uint32_t i = 0; i < pointCount_; ++i)
        if (!clustered_[i]) noise.push_back(i);
    tree_.clear();
    seenRound_.clear();
    return result;
}

template <typename Point>
void DBSCAN<Point>::clearSeen() {
    if (++round_ == 0) {  // wrapped: start the marks again
        std::fill(seenRound_.begin(), seenRound_.end(), 0);
        round_ = 1;
    }
}

template <typename Point>
void DBSCAN<Point>::neighbours(uint32_t i, std::vector<uint32_t>& out) const {
    double coordinates[cluster::PointCoordinates<Point>::kCount];
    cluster::PointCoordinates<Point>::copy((*points_)[i], coordinates);
    std::vector<uint32_t> all;
    tree_.range(coordinates, eps_, all);
    out.clear();
    for (uint32_t j : all)
        if (j != i) out.push_back(j);
}

template <typename Point>
void DBSCAN<Point>::expand(std::vector<uint32_t>& cluster, const std::vector<uint32_t>& seeds) {
    std::deque<uint32_t> queue(seeds.begin(), seeds.end());
    for (uint32_t j : seeds) markSeen(j);
    std::vector<uint32_t> found;
    while (!queue.empty()) {
        const uint32_t j = queue.front();
        queue.pop_front();
        if (visited_[j]) continue;
        visited_[j] = true;
        neighbours(j, found);
        if (found.size() < minPts_) continue;
        cluster.push_back(j);
        clustered_[j] = true;
        for (uint32_t k : found)
            if (markSeen(k)) queue.push_back(k);
    }
}

extern template class DBSCAN<pt::Point3_<double>>;
extern template class DBSCAN<vec1d>;
