#include "survey/survey_truth.h"

#include "reported.h"
#include "survey/relief_scene.h"
#include "survey/survey_plan.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace survey {

namespace {

// The steps of SurveyTruth::write; they throw with a message on failure.
void writeTruthFiles(const std::string& folder, const ReliefScene& scene, const SurveyPlan& plan, const json& shots) {
    fs::create_directories(folder);
    const LocalFrame frame(plan.latitude, plan.longitude);
    const double eastMax = scene.eastMin() + scene.cols() * scene.cell();
    const double northMin = scene.northMax() - scene.rows() * scene.cell();
    // Geographic box around the grid's corners.
    double west = 1e9, east = -1e9, south = 1e9, north = -1e9;
    for (double e : {scene.eastMin(), eastMax})
        for (double n : {northMin, scene.northMax()}) {
            const cv::Vec3d g = frame.toGeodetic({e, n, 0.0});
            west = std::min(west, g[1]);
            east = std::max(east, g[1]);
            south = std::min(south, g[0]);
            north = std::max(north, g[0]);
        }
    json buildings = json::array();
    for (const Building& b : scene.buildings())
        buildings.push_back({{"east", b.east}, {"north", b.north}, {"length", b.length}, {"width", b.width},
                             {"rotation", b.rotation}, {"roof", b.roof}});
    json targets = json::array();
    for (const Target& t : scene.targets()) {
        const cv::Vec3d g = frame.toGeodetic({t.east, t.north, t.up});
        targets.push_back({{"name", t.name}, {"east", t.east}, {"north", t.north}, {"up", t.up},
                           {"latitude", g[0]}, {"longitude", g[1]}, {"height", g[2]}});
    }
    const SurveyCamera& c = plan.camera;
    json description = {
        {"survey", plan.name},
        {"reference", {{"latitude", plan.latitude}, {"longitude", plan.longitude}}},
        {"axes", "east, north, up in metres: the tangent frame of the WGS84 ellipsoid at the reference (height 0)"},
        {"grid",
         {{"cols", scene.cols()}, {"rows", scene.rows()}, {"cell", scene.cell()}, {"east_min", scene.eastMin()},
          {"east_max", eastMax}, {"north_min", northMin}, {"north_max", scene.northMax()},
          {"samples", "cell centres: east = east_min + (col + 0.5) * cell, north = north_max - (row + 0.5) * cell"}}},
        {"files", {{"height", "height.tif"}, {"colour", "colour.png"}, {"roofs", "roofs.png"}}},
        {"bounds", {{"west", west}, {"east", east}, {"south", south}, {"north", north}}},
        {"takeoff_height", ReliefScene::takeoffHeight()},
        {"ground", plan.flatGround ? "flat" : "relief"},
        {"flight",
         {{"strips", plan.strips}, {"frames_per_strip", plan.framesPerStrip}, {"height", plan.height},
          {"spacing", plan.spacing}, {"strip_spacing", plan.stripSpacing}, {"forward_overlap", plan.forwardOverlap()},
          {"side_overlap", plan.sideOverlap()}, {"ground_sample_distance", plan.height / c.fx}}},
        {"record_noise",
         {{"horizontal", plan.noise.horizontal}, {"vertical", plan.noise.vertical},
          {"attitude", plan.noise.attitude}, {"seed", plan.noise.seed}}},
        {"camera",
         {{"width", c.width}, {"height", c.height}, {"fx", c.fx}, {"fy", c.fy}, {"cx", c.cx}, {"cy", c.cy},
          {"k1", c.k1}, {"distortion", c.k1 != 0.0 ? "radial: k1" : "none"}}},
        {"buildings", buildings},
        {"targets", targets},
        {"shots", shots}};
    if (plan.flatGround) description["ground_height"] = ReliefScene::takeoffHeight();

    const fs::path dir(folder);
    std::ofstream out(dir / "truth.json");
    out << description.dump(2) << '\n';
    out.close();
    if (!out) throw std::runtime_error("cannot write " + (dir / "truth.json").string());
    if (!cv::imwrite((dir / "height.tif").string(), scene.height()) ||
        !cv::imwrite((dir / "colour.png").string(), scene.colour()) ||
        !cv::imwrite((dir / "roofs.png").string(), scene.roofs()))
        throw std::runtime_error("cannot write the truth rasters in " + folder);
}

}  // namespace

bool SurveyTruth::write(const std::string& folder, const ReliefScene& scene, const SurveyPlan& plan, const json& shots,
                        std::string& error) {
    return reported([&] { writeTruthFiles(folder, scene, plan, shots); }, error);
}

bool SurveyTruth::load(const std::string& folder, std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    const fs::path dir(folder);
    std::ifstream in(dir / "truth.json");
    if (!in) return fail("cannot open " + (dir / "truth.json").string());
    description_ = json::parse(in, nullptr, false);
    if (description_.is_discarded()) return fail("truth.json is not JSON");
    try {
        const json& grid = description_.at("grid");
        cell_ = grid.at("cell").get<double>();
        eastMin_ = grid.at("east_min").get<double>();
        northMax_ = grid.at("north_max").get<double>();
        frame_ = LocalFrame(description_.at("reference").at("latitude").get<double>(),
                            description_.at("reference").at("longitude").get<double>());
        height_ = cv::imread((dir / "height.tif").string(), cv::IMREAD_UNCHANGED);
        colour_ = cv::imread((dir / "colour.png").string(), cv::IMREAD_COLOR);
        roofs_ = cv::imread((dir / "roofs.png").string(), cv::IMREAD_GRAYSCALE);
        if (height_.type() != CV_32FC1 || height_.cols != grid.at("cols").get<int>() ||
            height_.rows != grid.at("rows").get<int>() || colour_.size() != height_.size() ||
            roofs_.size() != height_.size())
            return fail("truth rasters missing or not of the grid's size");
    } catch (const json::exception& e) {
        return fail(std::string("truth.json: ") + e.what());
    }
    return true;
}

double SurveyTruth::heightAt(double east, double north) const {
    const double u = (east - eastMin_) / cell_ - 0.5, v = (northMax_ - north) / cell_ - 0.5;
    if (!(u >= 0.0 && v >= 0.0 && u <= height_.cols - 1.0 && v <= height_.rows - 1.0))
        return std::numeric_limits<double>::quiet_NaN();
    const int c = std::min(static_cast<int>(u), height_.cols - 2), r = std::min(static_cast<int>(v), height_.rows - 2);
    const double fu = u - c, fv = v - r;
    const auto h = [&](int dr, int dc) { return static_cast<double>(height_.at<float>(r + dr, c + dc)); };
    return (h(0, 0) * (1 - fu) + h(0, 1) * fu) * (1 - fv) + (h(1, 0) * (1 - fu) + h(1, 1) * fu) * fv;
}

cv::Vec3b SurveyTruth::colourAt(double east, double north) const {
    const int c = static_cast<int>(std::floor((east - eastMin_) / cell_));
    const int r = static_cast<int>(std::floor((northMax_ - north) / cell_));
    if (c < 0 || r < 0 || c >= colour_.cols || r >= colour_.rows) return {0, 0, 0};
    return colour_.at<cv::Vec3b>(r, c);
}

}  // namespace survey
