#include "kmath/geo.h"

#include "kmath/vector.h"

#include <cmath>

namespace {
constexpr double kDegToRadReproject = 0.0174532925199433;
constexpr double kDegToRadProject = 0.01745329238474369;
constexpr double kAntipodalScale = 2.5653050788007548e16;
}  // namespace

void geo_reproject(double out[2], const double ref[2], const vector2f local) {
    const double lat0 = ref[0] * kDegToRadReproject;
    const double lon0 = ref[1] * kDegToRadReproject;
    const double x = local[0] / kmath::kEarthRadius;
    const double y = local[1] / kmath::kEarthRadius;
    const double c = std::sqrt(x * x + y * y);
    if (!(c > 0.0)) {
        out[0] = ref[0];
        out[1] = ref[1];
        return;
    }
    const double sinC = std::sin(c);
    const double cosC = std::cos(c);
    const double lat = std::asin(cosC * std::sin(lat0) + x * sinC * std::cos(lat0) / c);
    const double lon = lon0 + std::atan2(y * sinC, c * std::cos(lat0) * cosC - x * std::sin(lat0) * sinC);
    out[0] = lat * kmath::kRadToDeg;
    out[1] = lon * kmath::kRadToDeg;
}

void geo_project(vector2f local, const double ref[2], const double point[2]) {
    const double lat0 = ref[0] * kDegToRadProject;
    const double lon0 = ref[1] * kDegToRadProject;
    const double lat = point[0] * kDegToRadProject;
    const double lon = point[1] * kDegToRadProject;
    const double dLon = lon - lon0;
    const double cosD = std::cos(lat0) * std::cos(lat) * std::cos(dLon) + std::sin(lat0) * std::sin(lat);
    double k = 1.0;
    if (cosD < -1.0) {
        k = kAntipodalScale;
    } else if (cosD <= 1.0) {
        const double d = std::acos(cosD);
        if (d != 0.0) {
            k = d / std::sin(d);
        }
    }
    local[0] = static_cast<float>((std::cos(lat0) * std::sin(lat) - std::sin(lat0) * std::cos(lat) * std::cos(dLon)) *
                                  k * kmath::kEarthRadius);
    local[1] = static_cast<float>(std::sin(dLon) * std::cos(lat) * k * kmath::kEarthRadius);
}

float geo_get_distance(const double a[2], const double b[2]) {
    vector2f local;
    geo_project(local, a, b);
    return vector2f_norm(local);
}
