#pragma once
// A textured ground plane rendered by ray casting, and downward-looking
// cameras placed over it by geodetic position: synthetic flights.

#include "fw/geodetic.h"

#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace synthetic {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

struct GroundScene {
    cv::Mat texture;  // 8-bit grey
    double metresPerTexel = 0.1;
    cv::Vec3d origin{0, 0, 0};
    cv::Vec3d east{1, 0, 0};
    cv::Vec3d north{0, 1, 0};

    // Blobs of about a metre over a square of texels, from a fixed seed.
    static GroundScene make(int texels = 3000, double metresPerTexel = 0.1, uint64 seed = 12345) {
        GroundScene scene;
        scene.metresPerTexel = metresPerTexel;
        cv::RNG rng(seed);
        cv::Mat coarse(texels / 8, texels / 8, CV_8UC1);
        rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
        cv::resize(coarse, scene.texture, cv::Size(texels, texels), 0, 0, cv::INTER_CUBIC);
        cv::GaussianBlur(scene.texture, scene.texture, cv::Size(5, 5), 1.0);
        return scene;
    }

    cv::Vec3d up() const { return east.cross(north); }

    // Ground point seen at pixel (x, y), and its depth along the optical axis.
    cv::Vec3d groundAt(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& C, double x, double y,
                       double* depth = nullptr) const {
        const cv::Vec3d ray = R * (K.inv() * cv::Vec3d(x, y, 1.0));  // camera z of the ray is 1
        const double lambda = up().dot(origin - C) / up().dot(ray);
        if (depth) *depth = lambda;
        return C + lambda * ray;
    }

    double depthAt(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& C, double x, double y) const {
        double depth = 0.0;
        groundAt(K, R, C, x, y, &depth);
        return depth;
    }

    // The view of a camera (camera-to-world rotation R, centre C), with
    // OpenCV's lens distortion when coefficients are given.
    cv::Mat render(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& C, cv::Size size,
                   const std::vector<double>& distortion = {}) const {
        cv::Mat mapX(size, CV_32FC1), mapY(size, CV_32FC1);
        std::vector<cv::Point2d> pixels;
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) pixels.emplace_back(x, y);
        std::vector<cv::Point2d> ideal = pixels;
        if (!distortion.empty()) cv::undistortPoints(pixels, ideal, cv::Mat(K), distortion, cv::noArray(), cv::Mat(K));
        const cv::Matx33d toWorld = R * K.inv();
        const cv::Vec3d n = up();
        const double height = n.dot(origin - C);
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) {
                const cv::Point2d& p = ideal[static_cast<size_t>(y) * size.width + x];
                const cv::Vec3d ray = toWorld * cv::Vec3d(p.x, p.y, 1.0);
                const cv::Vec3d g = C + (height / n.dot(ray)) * ray - origin;
                mapX.at<float>(y, x) = static_cast<float>(g.dot(east) / metresPerTexel + texture.cols / 2.0);
                mapY.at<float>(y, x) = static_cast<float>(-g.dot(north) / metresPerTexel + texture.rows / 2.0);
            }
        cv::Mat out;
        cv::remap(texture, out, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_REFLECT);
        return out;
    }
};

// Camera-to-world rotation of a camera looking straight down with the top of
// its image towards the heading (radians clockwise from north), built from its
// axes: x to the right of the heading, y towards the back, z down.
inline cv::Matx33d lookingDown(const cv::Vec3d& east, const cv::Vec3d& north, double heading) {
    const cv::Vec3d up = east.cross(north);
    const cv::Vec3d forward = std::cos(heading) * north + std::sin(heading) * east;
    const cv::Vec3d right = std::cos(heading) * east - std::sin(heading) * north;
    const cv::Vec3d x = right, y = -forward, z = -up;
    return cv::Matx33d(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
}

inline cv::Vec3d ecef(double latitude, double longitude, double height) {
    const pt::Point3d p = fw::geodeticToECEF(latitude, longitude, height);
    return {p.x, p.y, p.z};
}

// Earth-centred axes of the local east and north at a position (degrees).
inline cv::Vec3d eastAt(double longitude) {
    return {-std::sin(longitude * kDegree), std::cos(longitude * kDegree), 0.0};
}
inline cv::Vec3d northAt(double latitude, double longitude) {
    return {-std::sin(latitude * kDegree) * std::cos(longitude * kDegree),
            -std::sin(latitude * kDegree) * std::sin(longitude * kDegree), std::cos(latitude * kDegree)};
}

// Lays the scene's ground on the tangent plane at (latitude, longitude), height 0.
inline void placeScene(GroundScene& scene, double latitude, double longitude) {
    scene.origin = ecef(latitude, longitude, 0.0);
    scene.east = eastAt(longitude);
    scene.north = northAt(latitude, longitude);
}

// A camera looking straight down, its image top towards the heading.
struct Shot {
    double lat = 0.0, lon = 0.0, alt = 0.0;  // degrees, degrees, metres
    double yaw = 0.0;                        // heading, degrees clockwise from north
    cv::Matx33d R;                           // camera-to-world rotation
    cv::Vec3d C;                             // centre
};

// The shot (east, north) metres from (latitude, longitude) at the given
// height; the offset is turned into degrees on a sphere, so short flights only.
inline Shot shotOver(double latitude, double longitude, double east, double north, double height,
                     double yawDegrees = 0.0) {
    Shot s;
    s.lat = latitude + north / 6378137.0 / kDegree;
    s.lon = longitude + east / (6378137.0 * std::cos(latitude * kDegree)) / kDegree;
    s.alt = height;
    s.yaw = yawDegrees;
    s.C = ecef(s.lat, s.lon, s.alt);
    s.R = lookingDown(eastAt(s.lon), northAt(s.lat, s.lon), yawDegrees * kDegree);
    return s;
}

}  // namespace synthetic
