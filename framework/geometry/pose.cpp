#include "fw/pose.h"

#include <cmath>
#include <cstdio>

namespace fw {

namespace {

pt::Point3d cross(const pt::Point3d& a, const pt::Point3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// +1 for a positive value, -1 otherwise (zero and NaN included).
double signOf(double v) { return v > 0 ? 1.0 : -1.0; }

// Square root of a candidate clamped at 0 from below; a NaN stays NaN.
double clampedRoot(double v) { return std::sqrt(v < 0 ? 0.0 : v); }

}  // namespace

pt::Point3d SO3::operator*(const pt::Point3d& p) const {
    const pt::Point3d v(x, y, z);
    pt::Point3d t = cross(v, p);
    t = {2 * t.x, 2 * t.y, 2 * t.z};
    const pt::Point3d vt = cross(v, t);
    return {p.x + w * t.x + vt.x, p.y + w * t.y + vt.y, p.z + w * t.z + vt.z};
}

SO3 SO3::operator*(const SO3& b) const {
    return SO3(w * b.x + x * b.w + y * b.z - z * b.y,
               w * b.y - x * b.z + y * b.w + z * b.x,
               w * b.z + x * b.y - y * b.x + z * b.w,
               w * b.w - x * b.x - y * b.y - z * b.z);
}

bool SO3::fromMatrix(const double* m) {
    const double m00 = m[0], m01 = m[1], m02 = m[2];
    const double m10 = m[3], m11 = m[4], m12 = m[5];
    const double m20 = m[6], m21 = m[7], m22 = m[8];

    double qw = clampedRoot((1 + m00 + m11 + m22) / 4);
    double qx = clampedRoot((1 + m00 - m11 - m22) / 4);
    double qy = clampedRoot((1 - m00 + m11 - m22) / 4);
    double qz = clampedRoot((1 - m00 - m11 + m22) / 4);

    // The largest candidate keeps its positive sign; a tie goes to the one tested first.
    if (qw >= qx && qw >= qy && qw >= qz) {
        qx *= signOf(m21 - m12);
        qy *= signOf(m02 - m20);
        qz *= signOf(m10 - m01);
    } else if (qx >= qw && qx >= qy && qx >= qz) {
        qw *= signOf(m21 - m12);
        qy *= signOf(m10 + m01);
        qz *= signOf(m20 + m02);
    } else if (qy >= qw && qy >= qx && qy >= qz) {
        qw *= signOf(m02 - m20);
        qx *= signOf(m10 + m01);
        qz *= signOf(m12 + m21);
    } else if (qz >= qw && qz >= qx && qz >= qy) {
        qw *= signOf(m10 - m01);
        qx *= signOf(m20 + m02);
        qy *= signOf(m12 + m21);
    } else {
        std::fputs("coding error\n", stdout);
        x = qx;
        y = qy;
        z = qz;
        w = qw;
        return false;
    }

    const double norm = std::sqrt(qw * qw + qx * qx + qy * qy + qz * qz);
    x = qx / norm;
    y = qy / norm;
    z = qz / norm;
    w = qw / norm;
    return true;
}

SE3 SE3::operator*(const SE3& b) const {
    const pt::Point3d t = rotation * b.translation;
    return SE3(rotation * b.rotation,
               {translation.x + t.x, translation.y + t.y, translation.z + t.z});
}

pt::Point3d SE3::operator*(const pt::Point3d& p) const {
    const pt::Point3d r = rotation * p;
    return {r.x + translation.x, r.y + translation.y, r.z + translation.z};
}

SE3 SE3::inverse() const {
    const SO3 q = rotation.conjugate();
    const pt::Point3d t = q * translation;
    return SE3(q, {-t.x, -t.y, -t.z});
}

}  // namespace fw

namespace fw {

pt::Point3d SIM3::operator*(const pt::Point3d& p) const {
    const pt::Point3d scaled{p.x * scale, p.y * scale, p.z * scale};
    const pt::Point3d r = rotation * scaled;
    return {r.x + translation.x, r.y + translation.y, r.z + translation.z};
}

SIM3 SIM3::operator*(const SIM3& b) const {
    const pt::Point3d t = (*this) * b.translation;
    return SIM3(SE3(rotation * b.rotation, t), scale * b.scale);
}

}  // namespace fw
