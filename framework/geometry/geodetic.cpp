#include "fw/geodetic.h"

#include <cmath>

namespace fw {

pt::Point3d geodeticToECEF(double latitude, double longitude, double height) {
    constexpr double kPi = 3.141592653589793;
    constexpr double kA2 = 40680631590769.0;    // a = 6378137 m
    constexpr double kB2 = 40408299984659.16;   // b = 6356752.314245 m
    const double phi = latitude * kPi / 180;
    const double lambda = longitude * kPi / 180;
    const double c = std::cos(phi), s = std::sin(phi);
    const double k = 1.0 / std::sqrt(kA2 * c * c + kB2 * s * s);
    const double n = kA2 * k + height;
    return {n * c * std::cos(lambda), n * c * std::sin(lambda), (kB2 * k + height) * s};
}

SO3 enuRotation(double longitude, double latitude) {
    const double lambda = longitude * M_PI / 180.0;
    const double phi = latitude * M_PI / 180.0;
    const double sl = std::sin(lambda), cl = std::cos(lambda);
    const double sp = std::sin(phi), cp = std::cos(phi);
    // Columns east, north, up; row-major.
    const double m[9] = {-sl, -sp * cl, cp * cl, cl, -sp * sl, cp * sl, 0.0, cp, sp};
    SO3 q;
    q.fromMatrix(m);
    return q;
}

}  // namespace fw
