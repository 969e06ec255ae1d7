#pragma once
// Located frames over a textured ground plane: straight-down pinhole cameras
// with known poses, their images written as files, and a grid of keypoints
// that observe map points on the ground (the sparse structure).

#include "fw/dense_map_frame.h"
#include "fw/map_point.h"
#include "fw/pose.h"
#include "synthetic/ground_scene.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <map>
#include <mutex>
#include <memory>
#include <string>

namespace stereo_test {

struct PlaneScene {
    synthetic::GroundScene ground;
    int width = 480, height = 360;
    double focal = 400.0;
    double altitude = 100.0;
    mutable std::map<std::pair<double, double>, cv::Mat> views;
    mutable std::mutex viewsMutex;

    // A plane through the origin tilted by tiltDegrees about the east axis.
    explicit PlaneScene(double tiltDegrees = 10.0, int texels = 2000) {
        ground = synthetic::GroundScene::make(texels, 0.1);
        const double a = tiltDegrees * synthetic::kDegree;
        ground.north = cv::Vec3d(0.0, std::cos(a), std::sin(a));
    }

    cv::Matx33d K() const { return {focal, 0, (width - 1) / 2.0, 0, focal, (height - 1) / 2.0, 0, 0, 1}; }
    // Straight down, image top to the north (world y), image right to the east (world x).
    static cv::Matx33d down() { return synthetic::lookingDown({1, 0, 0}, {0, 1, 0}, 0.0); }

    static fw::SE3 pose(const cv::Matx33d& R, const cv::Vec3d& C) {
        const double m[9] = {R(0, 0), R(0, 1), R(0, 2), R(1, 0), R(1, 1), R(1, 2), R(2, 0), R(2, 1), R(2, 2)};
        fw::SO3 q;
        q.fromMatrix(m);
        return fw::SE3(q, pt::Point3d(C[0], C[1], C[2]));
    }

    // A frame at (east, north) over the origin; its image is rendered to
    // folder/<id>.png. Keypoints on a grid observe map points on the ground,
    // or at pointDepth along the optical axis when pointDepth > 0.
    std::shared_ptr<MapFrame> frame(uint64_t id, double east, double north, const std::string& folder,
                                    double pointDepth = 0.0, int gridColumns = 40, int gridRows = 30) const {
        const cv::Matx33d R = down();
        const cv::Vec3d C(east, north, altitude);
        const std::string path = folder + "/" + std::to_string(id) + ".png";
        cv::imwrite(path, view(east, north));
        auto camera = fw::CameraImpl::create({double(width), double(height), focal, focal, (width - 1) / 2.0,
                                              (height - 1) / 2.0});
        auto f = std::make_shared<MapFrame>(id, double(id), fw::GImage(), path, camera, std::vector<double>{}, 1);
        f->setPose(pose(R, C));
        std::vector<fw::KeyPoint> keypoints;
        for (int j = 0; j < gridRows; ++j)
            for (int i = 0; i < gridColumns; ++i) {
                fw::KeyPoint k;
                k.x = float((i + 0.5) * width / gridColumns);
                k.y = float((j + 0.5) * height / gridRows);
                keypoints.push_back(k);
            }
        f->setKeyPoints(keypoints, fw::GImage());
        static std::atomic<uint64_t> nextPoint{1};
        for (size_t k = 0; k < keypoints.size(); ++k) {
            double depth = 0.0;
            cv::Vec3d g = ground.groundAt(K(), R, C, keypoints[k].x, keypoints[k].y, &depth);
            if (pointDepth > 0) g = C + pointDepth * (R * (K().inv() * cv::Vec3d(keypoints[k].x, keypoints[k].y, 1)));
            auto point = std::make_shared<fw::MapPoint>(nextPoint++, pt::Point3d(g[0], g[1], g[2]));
            f->addObservation(point, k, false);
        }
        return f;
    }

    // The image of the camera at (east, north), rendered once.
    cv::Mat view(double east, double north) const {
        std::lock_guard<std::mutex> lock(viewsMutex);
        cv::Mat& image = views[{east, north}];
        if (image.empty())
            image = ground.render(K(), down(), cv::Vec3d(east, north, altitude), cv::Size(width, height));
        return image;
    }

    // Depth along the optical axis of the rectified camera of a record at pixel (x, y).
    double truth(const double* K3, const fw::SE3& rectifiedPose, double x, double y) const {
        const cv::Matx33d k(K3[0], K3[1], K3[2], K3[3], K3[4], K3[5], K3[6], K3[7], K3[8]);
        const pt::Point3d ex = rectifiedPose.rotation * pt::Point3d(1, 0, 0);
        const pt::Point3d ey = rectifiedPose.rotation * pt::Point3d(0, 1, 0);
        const pt::Point3d ez = rectifiedPose.rotation * pt::Point3d(0, 0, 1);
        const cv::Matx33d R(ex.x, ey.x, ez.x, ex.y, ey.y, ez.y, ex.z, ey.z, ez.z);
        const pt::Point3d& t = rectifiedPose.translation;
        return ground.depthAt(k, R, cv::Vec3d(t.x, t.y, t.z), x, y);
    }
};

}  // namespace stereo_test
