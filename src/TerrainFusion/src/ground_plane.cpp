#include "terrain/ground_plane.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include <opencv2/core.hpp>

namespace {

pt::Point3d cross(const pt::Point3d& a, const pt::Point3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot(const pt::Point3d& a, const pt::Point3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
pt::Point3d sub(const pt::Point3d& a, const pt::Point3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
pt::Point3d normalised(const pt::Point3d& v) {
    const double n = std::sqrt(dot(v, v));
    if (n == 0.0) return {0.0, 0.0, 0.0};
    return {v.x / n, v.y / n, v.z / n};
}

}  // namespace

int32_t CalcPlane(const std::vector<pt::Point3d>& points, fw::SE3& plane, std::vector<uint32_t>& outliers,
                  double threshold) {
    const size_t n = points.size();
    if (n < 10) {
        std::cout << "CalcPlane: too few points to calc plane." << std::endl;
        return -1;
    }
    double bestCost = 1e16;
    pt::Point3d bestCentre{0, 0, 0}, bestNormal{0, 0, 1};
    for (int iteration = 0; iteration < 100; ++iteration) {
        const size_t i = static_cast<size_t>(std::rand()) % n;
        size_t j = static_cast<size_t>(std::rand()) % n;
        while (j == i) j = static_cast<size_t>(std::rand()) % n;
        size_t k = static_cast<size_t>(std::rand()) % n;
        while (k == i || k == j) k = static_cast<size_t>(std::rand()) % n;
        const pt::Point3d& a = points[i];
        const pt::Point3d& b = points[j];
        const pt::Point3d& c3 = points[k];
        const pt::Point3d centre{(a.x + b.x + c3.x) * 0.33333333, (a.y + b.y + c3.y) * 0.33333333,
                                 (a.z + b.z + c3.z) * 0.33333333};
        pt::Point3d normal = cross(sub(c3, a), sub(b, a));
        if (dot(normal, normal) == 0.0) continue;
        normal = normalised(normal);
        double cost = 0.0;
        for (const pt::Point3d& p : points) {
            const pt::Point3d d = sub(p, centre);
            if (dot(d, d) == 0.0) continue;
            cost += std::min(threshold, std::fabs(dot(normal, d)));
        }
        if (cost < bestCost) {
            bestCost = cost;
            bestCentre = centre;
            bestNormal = normal;
        }
    }

    std::vector<pt::Point3d> inliers;
    for (size_t idx = 0; idx < n; ++idx) {
        const pt::Point3d d = sub(points[idx], bestCentre);
        if (dot(d, d) == 0.0) continue;
        if (std::fabs(dot(bestNormal, d)) < threshold) {
            inliers.push_back(points[idx]);
        } else {
            outliers.push_back(static_cast<uint32_t>(idx));
        }
    }

    pt::Point3d mean{0, 0, 0};
    for (const pt::Point3d& p : inliers) {
        mean.x += p.x;
        mean.y += p.y;
        mean.z += p.z;
    }
    pt::Point3d normal = bestNormal;
    if (!inliers.empty()) {
        const double count = static_cast<double>(inliers.size());
        mean = {mean.x / count, mean.y / count, mean.z / count};
        cv::Matx33d s = cv::Matx33d::zeros();
        for (const pt::Point3d& p : inliers) {
            const cv::Vec3d d(p.x - mean.x, p.y - mean.y, p.z - mean.z);
            s += d * d.t();
        }
        cv::Mat values, vectors;
        cv::eigen(cv::Mat(s), values, vectors);
        int pick = 0;
        if (values.at<double>(0) > values.at<double>(1)) pick = 1;
        if (values.at<double>(pick) > values.at<double>(2)) pick = 2;
        normal = {vectors.at<double>(pick, 0), vectors.at<double>(pick, 1), vectors.at<double>(pick, 2)};
    } else {
        mean = bestCentre;
    }
    if (normal.z < 0.0) normal = {-normal.x, -normal.y, -normal.z};

    pt::Point3d xAxis = normalised(pt::Point3d{normal.z, 0.0, -normal.x});
    // A normal along y leaves n x (0, -1, 0) zero: take x as the x axis then.
    if (dot(xAxis, xAxis) == 0.0) xAxis = {1.0, 0.0, 0.0};
    const pt::Point3d yAxis = cross(normal, xAxis);
    const double m[9] = {xAxis.x, yAxis.x, normal.x, xAxis.y, yAxis.y, normal.y, xAxis.z, yAxis.z, normal.z};
    fw::SO3 q;
    q.fromMatrix(m);
    plane = fw::SE3(q, mean);
    return 0;
}
