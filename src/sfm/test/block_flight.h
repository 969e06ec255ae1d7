#pragma once
// A survey block over the synthetic ground for the front end's tests:
// parallel strips flown in a serpentine, the images written to a folder with
// a dataset file whose records carry the true poses or noisy ones.

#include "front_end_run.h"
#include "synthetic/ground_scene.h"

#include "dataset/image_dataset.h"
#include "fw/map_frame.h"
#include "sfm/slam.h"
#include "testsupport/temp_dir.h"

#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

namespace sfm_test {

struct RecordNoise {
    double horizontal = 0.0, vertical = 0.0;  // GPS sigma, metres
    double attitude = 0.0;                    // gimbal sigma, degrees
    bool gimbal = true;                       // the records carry gimbal angles
    uint32_t seed = 7;
};

class BlockFlight {
public:
    static constexpr double kLat = 22.5, kLon = 113.9;
    cv::Size size{640, 480};
    cv::Matx33d K{500, 0, 320, 0, 500, 240, 0, 0, 1};
    synthetic::GroundScene scene = synthetic::GroundScene::make(4000, 0.1);
    std::vector<synthetic::Shot> shots;  // the truth, in flight order

    // The ground slopes up towards the north by slope (rise over run), so
    // that the views see a range of depths.
    explicit BlockFlight(double slope = 0.0) {
        synthetic::placeScene(scene, kLat, kLon);
        const cv::Vec3d up = scene.up();
        scene.north = (scene.north + slope * up) / std::sqrt(1.0 + slope * slope);
    }

    // strips of frames flown east and west in turn, spacing metres apart,
    // the strips stripSpacing apart, at the given height.
    void plan(int strips, int frames, double spacing, double stripSpacing, double height) {
        for (int s = 0; s < strips; ++s)
            for (int i = 0; i < frames; ++i) {
                const bool east = s % 2 == 0;
                const int k = east ? i : frames - 1 - i;
                const double e = (k - (frames - 1) / 2.0) * spacing;
                const double n = (s - (strips - 1) / 2.0) * stripSpacing;
                shots.push_back(synthetic::shotOver(kLat, kLon, e, n, height, east ? 90.0 : 270.0));
            }
    }

    // Writes the images (once) and a dataset file of records with the given noise.
    std::string write(const RecordNoise& noise) {
        std::mt19937 rng(noise.seed);
        std::normal_distribution<double> unit(0.0, 1.0);
        nlohmann::json records = nlohmann::json::array();
        for (size_t i = 0; i < shots.size(); ++i) {
            const synthetic::Shot& s = shots[i];
            const std::string image = dir.file("shot" + std::to_string(i) + ".png");
            if (!written_) cv::imwrite(image, scene.render(K, s.R, s.C, size));
            const double east = noise.horizontal * unit(rng), north = noise.horizontal * unit(rng);
            const double up = noise.vertical * unit(rng);
            const double lat = s.lat + north / 6378137.0 / synthetic::kDegree;
            const double lon = s.lon + east / (6378137.0 * std::cos(s.lat * synthetic::kDegree)) / synthetic::kDegree;
            const double gpsSigmaH = noise.horizontal > 0 ? noise.horizontal : 0.01;
            const double gpsSigmaV = noise.vertical > 0 ? noise.vertical : 0.02;
            nlohmann::json record = {
                {"uri", image},
                {"gps", {{"longitude", lon}, {"latitude", lat}, {"altitude", s.alt + up}}},
                {"rtk_std", {{"longitude", gpsSigmaH}, {"latitude", gpsSigmaH}, {"altitude", gpsSigmaV}}},
                {"calibration",
                 {{"width", size.width}, {"height", size.height}, {"fx", K(0, 0)}, {"fy", K(1, 1)}, {"cx", K(0, 2)}, {"cy", K(1, 2)}}}};
            if (noise.gimbal) {
                const double a = noise.attitude;
                const double attitudeSigma = a > 0 ? a : 0.01;
                record["attitude"] = {{"pitch", -90.0 + a * unit(rng)}, {"yaw", s.yaw + a * unit(rng)}, {"roll", a * unit(rng)}};
                record["attitude_std"] = {{"pitch", attitudeSigma}, {"yaw", attitudeSigma}, {"roll", attitudeSigma}};
            }
            records.push_back(record);
        }
        written_ = true;
        const std::string file = dir.file("frames" + std::to_string(files_++) + ".json");
        std::ofstream(file) << records.dump();
        return file;
    }

    testsupport::TempDir dir{"sfm-block"};

private:
    bool written_ = false;
    int files_ = 0;
};


}  // namespace sfm_test
