#pragma once
// Bounding boxes of 3D Tiles ("box": centre, then three half-axis vectors)
// and the matrices of a frame's pose.

#include "fw/pose.h"
#include "pt/point.h"

#include <array>
#include <vector>

namespace tiles3d {

using Box = std::array<double, 12>;

// Row-major [R | t] of the pose's unit quaternion and translation.
std::array<double, 12> poseToMatrix34(const fw::SE3& pose);
// The same as a column-major 4 x 4 matrix (the "transform" of a tile).
std::array<double, 16> poseToTransform(const fw::SE3& pose);

// Axis-aligned box of the points' finite coordinates: centre halfway
// between minimum and maximum, half-extents reaching both. An axis without
// a finite coordinate gets centre 0 and half-extent 0.
Box boundingBox(const std::vector<pt::Point3_<float>>& points);
// Centre R c + t, half-axes R a: the box of the moved content.
Box transformBox(const Box& box, const fw::SE3& pose);
// Half-extent of the box along axis k: |u_k| + |v_k| + |w_k|.
double extent(const Box& box, int k);
// Axis-aligned box containing both boxes.
Box mergeBoxes(const Box& a, const Box& b);

}  // namespace tiles3d
