#include "sfm/gimbal_pose.h"

#include "fw/geodetic.h"

#include <cmath>

namespace sfm {
namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

}  // namespace

cv::Matx33d enuToEcef(double latitude, double longitude) {
    return cv::Matx33d(fw::enuAxes(latitude, longitude).m);
}

cv::Matx33d cameraToEnu(double pitch, double yaw, double roll) {
    // Body axes forward, right, down turned by yaw, pitch, roll (z-y-x) into
    // north-east-down; the camera looks along the body's forward axis.
    const double y = yaw * kDegree, p = pitch * kDegree, r = roll * kDegree;
    const cv::Matx33d Rz(std::cos(y), -std::sin(y), 0, std::sin(y), std::cos(y), 0, 0, 0, 1);
    const cv::Matx33d Ry(std::cos(p), 0, std::sin(p), 0, 1, 0, -std::sin(p), 0, std::cos(p));
    const cv::Matx33d Rx(1, 0, 0, 0, std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r));
    const cv::Matx33d cameraToBody(0, 0, 1, 1, 0, 0, 0, 1, 0);
    const cv::Matx33d nedToEnu(0, 1, 0, 1, 0, 0, 0, 0, -1);
    return nedToEnu * Rz * Ry * Rx * cameraToBody;
}

cv::Matx33d cameraToEcef(double latitude, double longitude, double pitch, double yaw, double roll) {
    return enuToEcef(latitude, longitude) * cameraToEnu(pitch, yaw, roll);
}

}  // namespace sfm
