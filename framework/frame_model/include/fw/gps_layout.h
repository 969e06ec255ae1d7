#pragma once
// Where each value sits in a frame's GPS vector, told by the vector's length.
// Every layout starts with longitude, latitude and altitude (0-2) and their
// standard deviations (3-5). Each frame type applies its own acceptance
// rules to the values it finds here.

#include "pt/point.h"

#include <cstddef>
#include <vector>

namespace fw {

struct GpsLayout {
    size_t length;
    int relativeAltitude;  // height and its deviation; -1 when absent
    int attitude;          // pitch, yaw, roll; -1 when absent
    int attitudeSigma;     // their deviations; -1 when absent
};

// Position and deviations are read from any vector of at least this length.
constexpr size_t kGpsPositionLength = 6;
constexpr int kGpsPosition = 0;
constexpr int kGpsPositionSigma = 3;

// The layout of the 6, 8, 11, 12 and 14 value vectors; null for any other length.
const GpsLayout* gpsLayout(size_t length);

// Three values from first on; false (out untouched) when first is -1 or the
// vector is too short.
bool gpsTriple(const std::vector<double>& gps, int first, pt::Point3d& out);

}  // namespace fw
