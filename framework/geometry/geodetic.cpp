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

pt::Point3d ecefToGeodetic(double x, double y, double z) {
    const double a = 6378137.0;
    const double a2 = 40680631590769.0;
    const double b2 = 40408299984945.17;
    const double e2 = 0.006694379983166804;
    const double ae2 = 42697.67266269557;
    const double pi = 3.141592653589793;
    const double b = std::sqrt(b2);
    const double ep2 = (a2 - b2) / b2;
    const double p = std::sqrt(x * x + y * y);
    const double theta = std::atan2(z * a, p * b);
    const double st = std::sin(theta), ct = std::cos(theta);
    const double lat = std::atan2(z + ep2 * b * st * st * st, p - ae2 * ct * ct * ct);
    const double lon = std::atan2(y, x);
    const double sl = std::sin(lat);
    const double nRadius = a / std::sqrt(1.0 - e2 * sl * sl);
    const double h = p / std::cos(lat) - nRadius;
    return {lat * 180.0 / pi, lon * 180.0 / pi, h};
}

Matrix3 enuAxes(double latitude, double longitude) {
    const double phi = latitude * M_PI / 180.0;
    const double lambda = longitude * M_PI / 180.0;
    const double sl = std::sin(lambda), cl = std::cos(lambda);
    const double sp = std::sin(phi), cp = std::cos(phi);
    // Columns east, north, up.
    return Matrix3{{-sl, -sp * cl, cp * cl, cl, -sp * sl, cp * sl, 0.0, cp, sp}};
}

SO3 enuRotation(double latitude, double longitude) {
    SO3 q;
    q.fromMatrix(enuAxes(latitude, longitude));
    return q;
}

}  // namespace fw
