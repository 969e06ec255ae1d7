#pragma once
// WGS84 geodetic position to earth-centred, earth-fixed coordinates, and
// the east-north-up axes at a position.

#include "fw/pose.h"
#include "pt/point.h"

namespace fw {

// Latitude and longitude in degrees (latitude first), height in metres;
// the result is x, y, z in metres.
pt::Point3d geodeticToECEF(double latitude, double longitude, double height);

// Rotation whose columns are east, north and up at (longitude, latitude) in
// degrees (longitude first); maps local east-north-up vectors to
// earth-centred axes.
SO3 enuRotation(double longitude, double latitude);

}  // namespace fw
