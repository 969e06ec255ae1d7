#pragma once
// Temporary folders, image files and frame records of the dataset tests.

#include "fw/log.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

namespace datasettest {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("dataset-test") {}
};


// A PNG of the given size with a pattern that depends on seed.
inline std::string writeImage(const TempDir& dir, const std::string& name, int width, int height, int seed = 0) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(static_cast<uint64>(seed) + 1);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    const std::string path = dir.file(name);
    cv::imwrite(path, image);
    return path;
}

inline nlohmann::json record(const std::string& uri, int width = 64, int height = 48) {
    return {{"uri", uri},
            {"calibration", {{"width", width}, {"height", height}, {"fx", 50.0}, {"fy", 50.0}, {"cx", width / 2.0}, {"cy", height / 2.0}}}};
}

using testsupport::CapturedLog;

}  // namespace datasettest
