#pragma once
// Geometry of terrain fusion: the robust ground-plane fit, the east-north-up
// frame at a geodetic position and the earth-centred to geodetic conversion.
// Free functions without state; CalcPlane draws from rand() and is therefore
// not reentrant in its sequence of samples (the result is sound either way).

#include "fw/geodetic.h"
#include "fw/pose.h"
#include "pt/point.h"

#include <cstdint>
#include <vector>

// Fits a plane to points: 100 random three-point samples scored by the sum of
// min(threshold, distance), then a least-squares refit of the inliers. The
// out pose has the plane's normal (z >= 0) as its z axis and the inliers'
// mean as its origin; outliers' indices go to the list in increasing order.
// 0 on success; -1 (with a line on standard output) for fewer than 10 points.
int32_t CalcPlane(const std::vector<pt::Point3d>& points, fw::SE3& plane, std::vector<uint32_t>& outliers,
                  double threshold);

// The east-north-up frame at a position and the earth-centred to geodetic
// conversion come from the framework.
using fw::ecefToGeodetic;
using fw::enuRotation;
