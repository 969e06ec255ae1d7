#pragma once
// Flat ground at ellipsoid height 0 with a box on it, rendered by ray casting
// for cameras that look straight down, and the earth-centred points of the
// true surface: frames with dense points for the terrain fusion tests.

#include "fw/camera.h"
#include "fw/dense_map_frame.h"
#include "fw/geodetic.h"
#include "fw/pose.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace synthetic {

struct Box {
    double e0 = 5.0, e1 = 15.0, n0 = -5.0, n1 = 5.0, height = 5.0;
};

// Flat ground at ellipsoid height 0 around (lon0, lat0), a box on it, and a
// texture that varies smoothly in east and north. Cameras look straight down.
struct BoxScene {
    double lon0 = 10.0, lat0 = 50.0;
    double altitude = 100.0;
    int width = 640, height = 480;
    double focal = 800.0;
    Box box;
    pt::Point3d origin = fw::geodeticToECEF(50.0, 10.0, 0.0);
    fw::SO3 enu = localAxes(50.0, 10.0);
    // The ground's colour at (e, n) when set (BGR); else the grey texture.
    std::function<cv::Vec3b(double e, double n)> paint;

    // The scene moved to (lat, lon), without the box.
    static BoxScene at(double lat, double lon) {
        BoxScene s;
        s.lat0 = lat;
        s.lon0 = lon;
        s.origin = fw::geodeticToECEF(lat, lon, 0.0);
        s.enu = localAxes(lat, lon);
        s.box = Box{1e6, 1e6 + 1.0, 1e6, 1e6 + 1.0, 0.0};
        return s;
    }
    // Local east-north-up coordinates of a geodetic position.
    pt::Point3d local(double lat, double lon, double height = 0.0) const {
        const pt::Point3d ecef = fw::geodeticToECEF(lat, lon, height);
        return enu.conjugate() * pt::Point3d{ecef.x - origin.x, ecef.y - origin.y, ecef.z - origin.z};
    }

    // Rotation of the local east-north-up axes into earth-centred ones.
    static fw::SO3 localAxes(double latitude, double longitude) { return fw::enuRotation(latitude, longitude); }

    static double texture(double e, double n) {
        return 128.0 + 50.0 * std::sin(2.0 * M_PI * e / 15.0) * std::cos(2.0 * M_PI * n / 11.0);
    }
    bool inBox(double e, double n) const { return e >= box.e0 && e <= box.e1 && n >= box.n0 && n <= box.n1; }
    double surface(double e, double n) const { return inBox(e, n) ? box.height : 0.0; }

    std::shared_ptr<fw::CameraPinhole> camera() const {
        return std::make_shared<fw::CameraPinhole>(width, height, focal, focal, width / 2.0, height / 2.0);
    }
    pt::Point3d toEcef(const pt::Point3d& local) const {
        const pt::Point3d r = enu * local;
        return {origin.x + r.x, origin.y + r.y, origin.z + r.z};
    }
    // Camera to earth-centred pose of a camera over (e, n).
    fw::SE3 pose(double e, double n) const {
        return fw::SE3(enu * fw::SO3(1.0, 0.0, 0.0, 0.0), toEcef({e, n, altitude}));
    }
    // The first surface point along the ray of pixel (u, v) of a camera over (e, n).
    pt::Point3d cast(double e, double n, double u, double v) const {
        const double dx = (u - width / 2.0) / focal, dy = (v - height / 2.0) / focal;
        // Camera x east, y south, z down.
        const double de = dx, dn = -dy, du = -1.0;
        double tNear = -1e18, tFar = 1e18;
        const double o[3] = {e, n, altitude}, d[3] = {de, dn, du};
        const double lo[3] = {box.e0, box.n0, 0.0}, hi[3] = {box.e1, box.n1, box.height};
        bool hit = true;
        for (int i = 0; i < 3 && hit; ++i) {
            if (std::fabs(d[i]) < 1e-15) {
                if (o[i] < lo[i] || o[i] > hi[i]) hit = false;
                continue;
            }
            double t0 = (lo[i] - o[i]) / d[i], t1 = (hi[i] - o[i]) / d[i];
            if (t0 > t1) std::swap(t0, t1);
            tNear = std::max(tNear, t0);
            tFar = std::min(tFar, t1);
            if (tNear > tFar) hit = false;
        }
        const double t = hit && tNear > 0.0 ? tNear : altitude;  // ground at u = 0: t = altitude
        return {e + t * de, n + t * dn, altitude + t * du};
    }
    // The image of a camera over (e, n), sampled at pixel centres.
    cv::Mat render(double e, double n) const {
        cv::Mat image(height, width, CV_8UC3);
        for (int v = 0; v < height; ++v) {
            for (int u = 0; u < width; ++u) {
                const pt::Point3d p = cast(e, n, u + 0.5, v + 0.5);
                if (paint) {
                    image.at<cv::Vec3b>(v, u) = paint(p.x, p.y);
                    continue;
                }
                const auto grey = cv::saturate_cast<uint8_t>(texture(p.x, p.y) + (p.z > 1.0 ? 40.0 : 0.0));
                image.at<cv::Vec3b>(v, u) = cv::Vec3b(grey, grey, grey);
            }
        }
        return image;
    }
    // Earth-centred points of every stride-th pixel.
    std::vector<pt::Point3d> points(double e, double n, int stride = 2) const {
        std::vector<pt::Point3d> out;
        for (int v = 0; v < height; v += stride)
            for (int u = 0; u < width; u += stride) out.push_back(toEcef(cast(e, n, u + 0.5, v + 0.5)));
        return out;
    }
    // A frame over (e, n) whose image is written to path.
    std::shared_ptr<MapFrame> frame(uint64_t id, double e, double n, const std::string& path) const {
        cv::imwrite(path, render(e, n));
        auto f = std::make_shared<MapFrame>(id, static_cast<double>(id), fw::GImage(), path, camera(),
                                            std::vector<double>{lon0, lat0, altitude, 0.1, 0.1, 0.1}, 1);
        f->setPose(pose(e, n));
        return f;
    }
};

}  // namespace synthetic
