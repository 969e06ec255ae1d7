#pragma once
// Rotations, rigid poses and poses with scale. A pose maps a point of its
// local frame to q·p + t in the parent frame (for a frame: camera to world).

#include "fw/matrix3.h"
#include "pt/point.h"

namespace fw {

// Unit quaternion, stored vector part first, scalar last.
struct SO3 {
    double x = 0.0, y = 0.0, z = 0.0, w = 1.0;

    SO3() = default;
    SO3(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}

    // Rotates p; the quaternion is taken as unit and not normalised here.
    pt::Point3d operator*(const pt::Point3d& p) const;
    // Hamilton product, not renormalised.
    SO3 operator*(const SO3& b) const;
    SO3 conjugate() const { return SO3(-x, -y, -z, w); }

    // Quaternion of a row-major rotation matrix. False (with "coding error"
    // on standard output) when no candidate wins, which only a NaN causes;
    // the quaternion then holds the unsigned roots.
    bool fromMatrix(const double* m);
    bool fromMatrix(const Matrix3& m) { return fromMatrix(m.m); }
};

// Rotation followed by translation.
struct SE3 {
    SO3 rotation;
    pt::Point3d translation;

    SE3() = default;
    SE3(const SO3& q, const pt::Point3d& t) : rotation(q), translation(t) {}

    SE3 operator*(const SE3& b) const;
    pt::Point3d operator*(const pt::Point3d& p) const;
    SE3 inverse() const;
};

// Rigid pose with a scale; the type of a frame's pose. The inherited rigid
// product and inverse would drop the scale, so they are hidden.
struct SIM3 : SE3 {
    double scale = 1.0;

    SIM3() = default;
    SIM3(const SE3& pose, double s) : SE3(pose), scale(s) {}

    SE3 se3() const { return SE3(rotation, translation); }

    // R (s p) + t.
    pt::Point3d operator*(const pt::Point3d& p) const;
    // Rotation qa qb, translation sa Ra tb + ta, scale sa sb.
    SIM3 operator*(const SIM3& b) const;

    SE3 operator*(const SE3&) const = delete;
    SE3 inverse() const = delete;
};

// R p + t of a rigid pose.
inline pt::Point3d transformPoint(const SE3& pose, const pt::Point3d& p) { return pose * p; }

}  // namespace fw
