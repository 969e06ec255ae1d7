#pragma once
// WGS84 geodetic position to earth-centred, earth-fixed coordinates and back,
// and the east-north-up axes at a position. Latitude comes first everywhere.

#include "fw/matrix3.h"
#include "fw/pose.h"
#include "pt/point.h"

namespace fw {

// Latitude and longitude in degrees, height in metres; the result is x, y, z
// in metres.
pt::Point3d geodeticToECEF(double latitude, double longitude, double height);

// Earth-centred x, y, z in metres to (latitude, longitude) in degrees and
// height in metres, by Bowring's single-step formula. A point on the polar
// axis itself (x = y = 0) has no sound height.
pt::Point3d ecefToGeodetic(double x, double y, double z);

// Row-major matrix whose columns are east, north and up at (latitude,
// longitude) in degrees: maps local east-north-up vectors to earth-centred
// axes.
Matrix3 enuAxes(double latitude, double longitude);

// The rotation of enuAxes as a quaternion.
SO3 enuRotation(double latitude, double longitude);

}  // namespace fw
