#pragma once
// Azimuthal equidistant projection on a sphere of radius 6378137 m about a
// reference point. Geographic points are (latitude, longitude) in degrees, local
// offsets (north, east) in metres.

#include "kmath/types.h"

// Local offset about ref back to a geographic point.
void geo_reproject(double out[2], const double ref[2], const vector2f local);
// Geographic point to its local offset about ref.
void geo_project(vector2f local, const double ref[2], const double point[2]);
// Length of the offset of b about a, in metres.
float geo_get_distance(const double a[2], const double b[2]);
