#include "3dtiles/box_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiles3d {

std::array<double, 12> poseToMatrix34(const fw::SE3& pose) {
    const double x = pose.rotation.x, y = pose.rotation.y, z = pose.rotation.z, w = pose.rotation.w;
    const pt::Point3d& t = pose.translation;
    return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),     t.x,
            2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),     t.y,
            2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y), t.z};
}

std::array<double, 16> poseToTransform(const fw::SE3& pose) {
    const std::array<double, 12> m = poseToMatrix34(pose);
    return {m[0], m[4], m[8], 0.0, m[1], m[5], m[9], 0.0, m[2], m[6], m[10], 0.0, m[3], m[7], m[11], 1.0};
}

Box boundingBox(const std::vector<pt::Point3_<float>>& points) {
    float lo[3], hi[3];
    std::fill(lo, lo + 3, std::numeric_limits<float>::infinity());
    std::fill(hi, hi + 3, -std::numeric_limits<float>::infinity());
    for (const auto& p : points) {
        const float c[3] = {p.x, p.y, p.z};
        for (int k = 0; k < 3; ++k) {
            if (!std::isfinite(c[k])) continue;
            lo[k] = std::min(lo[k], c[k]);
            hi[k] = std::max(hi[k], c[k]);
        }
    }
    Box box{};
    for (int k = 0; k < 3; ++k) {
        if (lo[k] > hi[k]) continue;
        const double centre = (double(lo[k]) + double(hi[k])) / 2.0;
        box[k] = centre;
        box[3 + 4 * k] = std::max(centre - double(lo[k]), double(hi[k]) - centre);
    }
    return box;
}

Box transformBox(const Box& box, const fw::SE3& pose) {
    const std::array<double, 12> m = poseToMatrix34(pose);
    auto rotate = [&m](const double* v, double* out) {
        for (int r = 0; r < 3; ++r) out[r] = m[4 * r] * v[0] + m[4 * r + 1] * v[1] + m[4 * r + 2] * v[2];
    };
    Box out{};
    rotate(&box[0], &out[0]);
    for (int r = 0; r < 3; ++r) out[r] += m[4 * r + 3];
    for (int a = 1; a <= 3; ++a) rotate(&box[3 * a], &out[3 * a]);
    return out;
}

double extent(const Box& box, int k) { return std::abs(box[3 + k]) + std::abs(box[6 + k]) + std::abs(box[9 + k]); }

Box mergeBoxes(const Box& a, const Box& b) {
    Box out{};
    for (int k = 0; k < 3; ++k) {
        const double lo = std::min(a[k] - extent(a, k), b[k] - extent(b, k));
        const double hi = std::max(a[k] + extent(a, k), b[k] + extent(b, k));
        const double centre = (lo + hi) / 2.0;
        out[k] = centre;
        out[3 + 4 * k] = std::max(centre - lo, hi - centre);
    }
    return out;
}

}  // namespace tiles3d
