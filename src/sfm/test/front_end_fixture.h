#pragma once
// A synthetic flight for the front end's tests: a textured ground seen from
// known poses, the images written to a folder and read back through a
// dataset, and the checks of located frames against it.
#include "sfm/front_end.h"
#include "front_end_run.h"
#include "synthetic/ground_scene.h"
#include "testsupport/captured_log.h"

#include "dataset/image_dataset.h"
#include "fw/dense_map_frame.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_point.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <fstream>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

namespace front_end_test {

using nlohmann::json;
using synthetic::GroundScene;
namespace fs = std::filesystem;

inline cv::Vec3d vec(const pt::Point3d& p) { return {p.x, p.y, p.z}; }

// R and C are the true pose.
struct Shot : synthetic::Shot {
    bool attitude = true;
    bool blank = false;  // an image without texture
};

class Flight {
public:
    static constexpr double kLat = 22.5, kLon = 113.9;
    const cv::Size size{1200, 900};
    const cv::Matx33d K{1000, 0, 600, 0, 1000, 450, 0, 0, 1};
    std::vector<double> distortion;  // none, or k1, k2, p1, p2, k3
    GroundScene scene = GroundScene::make(4000, 0.1);
    std::vector<Shot> shots;

    Flight() {
        std::string pattern = (fs::temp_directory_path() / "front-end-test-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
        synthetic::placeScene(scene, kLat, kLon);
    }
    ~Flight() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // A shot at (east, north) metres from the origin and the given height.
    void add(double east, double north, double height, double yawDegrees = 0.0, bool attitude = true, bool blank = false) {
        Shot s;
        static_cast<synthetic::Shot&>(s) = synthetic::shotOver(kLat, kLon, east, north, height, yawDegrees);
        s.attitude = attitude;
        s.blank = blank;
        shots.push_back(s);
    }

    std::shared_ptr<ImageDataset> dataset() {
        json records = json::array();
        for (size_t i = 0; i < shots.size(); ++i) {
            const Shot& s = shots[i];
            const std::string image = (fs::path(dir_) / ("shot" + std::to_string(i) + ".png")).string();
            cv::imwrite(image, s.blank ? cv::Mat(size, CV_8UC1, cv::Scalar(128)) : scene.render(K, s.R, s.C, size, distortion));
            json calibration = {{"width", size.width}, {"height", size.height}, {"fx", K(0, 0)}, {"fy", K(1, 1)},
                                {"cx", K(0, 2)},       {"cy", K(1, 2)}};
            if (!distortion.empty()) {
                const char* names[] = {"k1", "k2", "p1", "p2", "k3"};
                for (int k = 0; k < 5; ++k) calibration[names[k]] = distortion[k];
            }
            json record = {{"uri", image},
                           {"gps", {{"longitude", s.lon}, {"latitude", s.lat}, {"altitude", s.alt}}},
                           {"rtk_std", {{"longitude", 0.01}, {"latitude", 0.01}, {"altitude", 0.02}}},
                           {"calibration", calibration}};
            if (s.attitude) {
                record["attitude"] = {{"pitch", -90.0}, {"yaw", s.yaw}, {"roll", 0.0}};
                record["attitude_std"] = {{"pitch", 0.05}, {"yaw", 0.05}, {"roll", 0.05}};
            }
            records.push_back(record);
        }
        const std::string file = (fs::path(dir_) / "frames.json").string();
        std::ofstream(file) << records.dump();
        return std::make_shared<ImageDataset>(file);
    }

    // Depth of the ground along the ray of a pixel of shot i.
    double trueDepth(size_t i, double x, double y) const {
        cv::Point2d ideal(x, y);
        if (!distortion.empty()) {
            std::vector<cv::Point2d> in{ideal}, out;
            cv::undistortPoints(in, out, cv::Mat(K), distortion, cv::noArray(), cv::Mat(K));
            ideal = out[0];
        }
        return scene.depthAt(K, shots[i].R, shots[i].C, ideal.x, ideal.y);
    }

private:
    std::string dir_;
};

using sfm_test::RecordingChain;
using sfm_test::track;

// The frame's pose is its shot's: exact records (centimetre GPS) stay
// within 1 cm and 0.006 degrees.
inline void expectShotPose(const Shot& shot, const fw::SE3& pose) {
    EXPECT_LT(cv::norm(vec(pose.translation) - shot.C), 0.01);
    for (int axis = 0; axis < 3; ++axis) {
        pt::Point3d unit(axis == 0, axis == 1, axis == 2);
        const cv::Vec3d turned = vec(pose.rotation * unit);
        EXPECT_LT(cv::norm(turned - cv::Vec3d(shot.R(0, axis), shot.R(1, axis), shot.R(2, axis))), 0.006 * CV_PI / 180.0)
            << "axis " << axis;
    }
}

// Every located frame: the pose of its shot, at least 50 sparse points, and
// each point's depth within 1 % of the ground's depth along its keypoint's ray.
inline void expectStructure(const Flight& flight, const std::vector<std::shared_ptr<fw::MapFrame>>& frames) {
    for (const auto& f : frames) {
        SCOPED_TRACE(testing::Message() << "frame " << f->id);
        auto* frame = dynamic_cast<::MapFrame*>(f.get());
        ASSERT_NE(frame, nullptr);
        const Shot& shot = flight.shots[frame->id];
        expectShotPose(shot, frame->getPose());
        EXPECT_GE(frame->keyPointCount(), 50u);
        fw::ObservationMap observations;
        frame->copyObservations(observations);
        EXPECT_GE(observations.size(), 50u);
        for (const auto& [pointId, index] : observations) {
            pt::Point2d inverse;
            ASSERT_TRUE(frame->getKeyPointInverseDepth(static_cast<int>(index), inverse));
            pt::Point2f pixel;
            ASSERT_TRUE(frame->getKeyPointPosition(static_cast<int>(index), pixel));
            const double truth = flight.trueDepth(frame->id, pixel.x, pixel.y);
            EXPECT_NEAR(1.0 / inverse.x, truth, 0.01 * truth) << "point " << pointId << " at " << pixel.x << "," << pixel.y;
        }
    }
}

}  // namespace front_end_test