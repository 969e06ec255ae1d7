#pragma once
// WGS84 geodetic position to earth-centred, earth-fixed coordinates.

#include "pt/point.h"

namespace fw {

// Latitude and longitude in degrees (latitude first), height in metres;
// the result is x, y, z in metres.
pt::Point3d geodeticToECEF(double latitude, double longitude, double height);

}  // namespace fw
