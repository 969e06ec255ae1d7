#include "survey/local_frame.h"

#include "fw/geodetic.h"

#include <cmath>

namespace survey {
namespace {

constexpr double kDegree = 3.141592653589793 / 180.0;

}  // namespace

cv::Matx33d gimbalToEnu(double pitch, double yaw, double roll) {
    // Body forward, right, down turned by yaw, pitch and roll (z-y-x) into
    // north-east-down; the camera looks along the body's forward axis.
    const double y = yaw * kDegree, p = pitch * kDegree, r = roll * kDegree;
    const cv::Matx33d Rz(std::cos(y), -std::sin(y), 0, std::sin(y), std::cos(y), 0, 0, 0, 1);
    const cv::Matx33d Ry(std::cos(p), 0, std::sin(p), 0, 1, 0, -std::sin(p), 0, std::cos(p));
    const cv::Matx33d Rx(1, 0, 0, 0, std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r));
    const cv::Matx33d cameraToBody(0, 0, 1, 1, 0, 0, 0, 1, 0);
    const cv::Matx33d nedToEnu(0, 1, 0, 1, 0, 0, 0, 0, -1);
    return nedToEnu * Rz * Ry * Rx * cameraToBody;
}

cv::Vec3d geodeticToEcef(double latitude, double longitude, double height) {
    const pt::Point3d p = fw::geodeticToECEF(latitude, longitude, height);
    return {p.x, p.y, p.z};
}

cv::Vec3d ecefToGeodetic(const cv::Vec3d& ecef) {
    const pt::Point3d g = fw::ecefToGeodetic(ecef[0], ecef[1], ecef[2]);
    return {g.x, g.y, g.z};
}

cv::Matx33d enuAxes(double latitude, double longitude) { return cv::Matx33d(fw::enuAxes(latitude, longitude).m); }

LocalFrame::LocalFrame(double latitude, double longitude)
    : latitude_(latitude),
      longitude_(longitude),
      origin_(geodeticToEcef(latitude, longitude, 0.0)),
      axes_(enuAxes(latitude, longitude)) {}

cv::Vec3d LocalFrame::toLocal(const cv::Vec3d& ecef) const { return axes_.t() * (ecef - origin_); }

cv::Vec3d LocalFrame::toEcef(const cv::Vec3d& local) const { return origin_ + axes_ * local; }

cv::Vec3d LocalFrame::fromGeodetic(double latitude, double longitude, double height) const {
    return toLocal(geodeticToEcef(latitude, longitude, height));
}

cv::Vec3d LocalFrame::toGeodetic(const cv::Vec3d& local) const { return ecefToGeodetic(toEcef(local)); }

cv::Matx33d LocalFrame::cameraToLocal(double latitude, double longitude, double pitch, double yaw,
                                      double roll) const {
    return axes_.t() * enuAxes(latitude, longitude) * gimbalToEnu(pitch, yaw, roll);
}

}  // namespace survey
