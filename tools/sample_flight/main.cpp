// sample_flight FOLDER: writes a short synthetic flight into FOLDER (made when
// missing): six JPEG frames of a textured ground seen straight down along an
// east-bound flight line, and "frames.json", the dataset file of their frame
// records. Prints the dataset file's path.
// sample_flight --survey small|large|flat|flat-noisy [--embed-metadata] [--k1 K]
// FOLDER: a survey in parallel strips, with its ground truth; --k1 renders it
// through a lens with that radial distortion, which the records do not mention.
#include "reported.h"
#include "survey/survey_writer.h"
#include "synthetic/ground_scene.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr double kLatitude = 22.5;    // middle of the flight line
constexpr double kLongitude = 113.9;
constexpr double kHeight = 60.0;      // metres above the ground
constexpr double kSpacing = 12.0;     // metres between frames, about 80 % overlap
constexpr double kHeading = 90.0;     // east
constexpr int kFrames = 6;
constexpr double kStartTime = 1733650000.0;
constexpr double kInterval = 2.0;     // seconds between frames
const cv::Size kSize(640, 480);
const cv::Matx33d kK(500, 0, 320, 0, 500, 240, 0, 0, 1);

// A whole text that is a finite number.
bool parseNumber(const std::string& text, double& value) {
    size_t used = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size() && std::isfinite(value);
}

json frameRecord(const std::string& uri, const synthetic::Shot& shot, double timestamp) {
    return {{"uri", uri},
            {"timestamp", timestamp},
            {"gps", {{"longitude", shot.lon}, {"latitude", shot.lat}, {"altitude", shot.alt}}},
            {"rtk_std", {{"longitude", 0.02}, {"latitude", 0.02}, {"altitude", 0.05}}},
            {"relative_altitude", kHeight},
            {"attitude", {{"pitch", -90.0}, {"yaw", shot.yaw}, {"roll", 0.0}}},
            {"attitude_std", {{"pitch", 0.5}, {"yaw", 1.0}, {"roll", 0.5}}},
            {"calibration",
             {{"width", kSize.width}, {"height", kSize.height}, {"fx", kK(0, 0)}, {"fy", kK(1, 1)},
              {"cx", kK(0, 2)}, {"cy", kK(1, 2)}, {"k1", 0.0}, {"k2", 0.0}, {"p1", 0.0}, {"p2", 0.0},
              {"k3", 0.0}}}};
}

// The steps of writeFlight; they throw with a message on any failure.
std::string writeFlightFiles(const fs::path& folder) {
    fs::create_directories(folder);
    if (!fs::is_directory(folder)) throw std::runtime_error("not a folder: " + folder.string());

    synthetic::GroundScene scene = synthetic::GroundScene::make(2000, 0.1);  // 200 m square
    synthetic::placeScene(scene, kLatitude, kLongitude);
    json records = json::array();
    for (int i = 0; i < kFrames; ++i) {
        const double east = (i - (kFrames - 1) / 2.0) * kSpacing;
        const synthetic::Shot shot = synthetic::shotOver(kLatitude, kLongitude, east, 0.0, kHeight, kHeading);
        cv::Mat colour;
        cv::cvtColor(scene.render(kK, shot.R, shot.C, kSize), colour, cv::COLOR_GRAY2BGR);
        const fs::path image = folder / ("frame_0" + std::to_string(i) + ".jpg");
        if (!cv::imwrite(image.string(), colour, {cv::IMWRITE_JPEG_QUALITY, 95}))
            throw std::runtime_error("cannot write " + image.string());
        records.push_back(frameRecord(image.string(), shot, kStartTime + i * kInterval));
    }

    const fs::path dataset = folder / "frames.json";
    std::ofstream out(dataset);
    out << records.dump(2) << '\n';
    out.close();
    if (!out) throw std::runtime_error("cannot write " + dataset.string());
    return dataset.string();
}

// Sets dataset to the flight's dataset file; false, with the reason in
// error, on failure.
bool writeFlight(const fs::path& folder, std::string& dataset, std::string& error) {
    return survey::reported([&] { dataset = writeFlightFiles(folder); }, error);
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder, surveyName;
    double k1 = 0.0;
    survey::SurveyOptions options;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--survey" && i + 1 < argc)
            surveyName = argv[++i];
        else if (arg == "--embed-metadata")
            options.embedMetadata = true;
        else if (arg == "--k1" && i + 1 < argc)
            usage = !parseNumber(argv[++i], k1) || usage;
        else if (folder.empty() && !arg.empty() && arg[0] != '-')
            folder = arg;
        else
            usage = true;
    }
    survey::SurveyPlan plan;
    const bool surveyMode = !surveyName.empty();
    if (usage || folder.empty() || (surveyMode && !survey::SurveyPlan::byName(surveyName, plan)) ||
        ((options.embedMetadata || k1 != 0.0) && !surveyMode) || std::abs(k1) > 0.5) {
        std::cerr << "usage: sample_flight FOLDER | sample_flight --survey small|large|flat|flat-noisy [--embed-metadata] "
                     "[--k1 K] FOLDER"
                  << std::endl;
        return 1;
    }
    plan.camera.k1 = k1;
    std::string path, dataset, error;
    if (!survey::reported([&] { path = fs::absolute(folder).lexically_normal().string(); }, error) ||
        !(surveyMode ? survey::writeSurvey(plan, path, options, dataset, error) : writeFlight(path, dataset, error))) {
        std::cerr << "sample_flight: " << error << std::endl;
        return 1;
    }
    std::cout << dataset << std::endl;
    return 0;
}
