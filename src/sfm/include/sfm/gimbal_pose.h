#pragma once
// Camera attitude from gimbal angles, in local and earth-centred axes.
// Camera axes: x right, y down, z forward (the viewing direction).

#include <opencv2/core.hpp>

namespace sfm {

// Columns east, north, up of the tangent frame at a position (degrees).
cv::Matx33d enuToEcef(double latitude, double longitude);

// Camera-to-east-north-up rotation of gimbal angles in degrees: yaw clockwise
// from north, pitch up from the horizon (-90 looks straight down, the top of
// the image then towards the yaw), roll clockwise about the viewing direction.
cv::Matx33d cameraToEnu(double pitch, double yaw, double roll);

// Camera-to-earth-centred rotation at a position.
cv::Matx33d cameraToEcef(double latitude, double longitude, double pitch, double yaw, double roll);

}  // namespace sfm
