#pragma once
// Frame records of small generated images for the program tests.

#include "testsupport/temp_dir.h"

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace mappertest {

// A frame record of a 200 x 150 image looking down, 10 m apart along east.
// Without a uri the image is written as img<i>.png in the folder.
inline nlohmann::json frameRecord(const testsupport::TempDir& dir, int i, const std::string& uri = "") {
    std::string image = uri;
    if (image.empty()) {
        image = dir.file("img" + std::to_string(i) + ".png");
        cv::Mat pixels(150, 200, CV_8UC3);
        cv::RNG rng(static_cast<uint64>(i) + 7);
        rng.fill(pixels, cv::RNG::UNIFORM, 0, 256);
        cv::imwrite(image, pixels);
    }
    return {{"uri", image},
            {"timestamp", 1733650000.0 + i},
            {"gps", {{"longitude", 113.9 + i * 1e-4}, {"latitude", 22.5}, {"altitude", 100.0}}},
            {"rtk_std", {{"longitude", 0.02}, {"latitude", 0.02}, {"altitude", 0.05}}},
            {"relative_altitude", 100.0},
            {"attitude", {{"pitch", -90.0}, {"yaw", 0.0}, {"roll", 0.0}}},
            {"calibration", {{"width", 200}, {"height", 150}, {"fx", 160}, {"fy", 160}, {"cx", 100}, {"cy", 75}}}};
}

// The standard-input line that carries a live frame.
inline std::string frameLine(const nlohmann::json& record) {
    return nlohmann::json{{"frame", record.dump()}}.dump() + "\n";
}

}  // namespace mappertest
