#include "fw/gps_layout.h"

namespace fw {
namespace {

//                                        length  height  attitude  deviations
constexpr GpsLayout kLayouts[] = {{6, -1, -1, -1},
                                  {8, 6, -1, -1},
                                  {11, -1, 5, 8},
                                  {12, -1, 6, 9},
                                  {14, 6, 8, 11}};

}  // namespace

const GpsLayout* gpsLayout(size_t length) {
    for (const GpsLayout& layout : kLayouts)
        if (layout.length == length) return &layout;
    return nullptr;
}

bool gpsTriple(const std::vector<double>& gps, int first, pt::Point3d& out) {
    if (first < 0 || gps.size() < static_cast<size_t>(first) + 3) return false;
    const size_t i = static_cast<size_t>(first);
    out = {gps[i], gps[i + 1], gps[i + 2]};
    return true;
}

}  // namespace fw
