#pragma once
// A local east-north-up frame on the WGS84 ellipsoid, and the camera attitude
// of gimbal angles: the geometry shared by the survey generator and its truth.

#include <opencv2/core.hpp>

namespace survey {

// Camera-to-east-north-up rotation of gimbal angles in degrees: yaw clockwise
// from north, pitch up from the horizon (-90 looks straight down, the top of
// the image then towards the yaw), roll clockwise about the viewing direction.
// Camera axes: x right, y down, z along the view.
cv::Matx33d gimbalToEnu(double pitch, double yaw, double roll);

// Earth-centred position of a WGS84 position (degrees, degrees, metres).
cv::Vec3d geodeticToEcef(double latitude, double longitude, double height);

// WGS84 latitude, longitude (degrees) and height (metres) of an earth-centred position.
cv::Vec3d ecefToGeodetic(const cv::Vec3d& ecef);

// Columns east, north, up (earth-centred) of the tangent frame at a position.
cv::Matx33d enuAxes(double latitude, double longitude);

// East-north-up axes at a reference point of the ellipsoid (height 0).
class LocalFrame {
public:
    LocalFrame(double latitude, double longitude);

    double latitude() const { return latitude_; }
    double longitude() const { return longitude_; }

    cv::Vec3d toLocal(const cv::Vec3d& ecef) const;
    cv::Vec3d toEcef(const cv::Vec3d& local) const;
    // (east, north, up) of a geodetic position, and back.
    cv::Vec3d fromGeodetic(double latitude, double longitude, double height) const;
    cv::Vec3d toGeodetic(const cv::Vec3d& local) const;
    // Camera-to-local rotation of a camera at a geodetic position with gimbal angles.
    cv::Matx33d cameraToLocal(double latitude, double longitude, double pitch, double yaw, double roll) const;

private:
    double latitude_, longitude_;
    cv::Vec3d origin_;
    cv::Matx33d axes_;  // local to earth-centred
};

}  // namespace survey
