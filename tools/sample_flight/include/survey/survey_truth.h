#pragma once
// The ground truth beside a synthetic survey, in the folder "truth":
// "truth.json" (the local frame, the grid and the survey's geometry),
// "height.tif" (CV_32FC1, the up coordinate of the top surface at the cell
// centres), "colour.png" (its colour, BGR) and "roofs.png" (255 on roofs).
// The writer is the survey generator; the reader serves the tests.

#include "survey/local_frame.h"

#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace survey {

class ReliefScene;
struct SurveyPlan;

class SurveyTruth {
public:
    // Writes the truth of a scene into folder (made when missing); false
    // (with a reason) when it cannot.
    static bool write(const std::string& folder, const ReliefScene& scene, const SurveyPlan& plan,
                      const nlohmann::json& shots, std::string& error);

    // Reads the truth from its folder; false (with a reason) when a file is missing or unreadable.
    bool load(const std::string& folder, std::string& error);

    const nlohmann::json& description() const { return description_; }
    const LocalFrame& frame() const { return frame_; }
    const cv::Mat& height() const { return height_; }
    const cv::Mat& colour() const { return colour_; }
    const cv::Mat& roofs() const { return roofs_; }

    // Top surface height (up) at a local point, bilinear between the cell
    // centres; NaN off the grid.
    double heightAt(double east, double north) const;
    // Colour of the nearest cell; black off the grid.
    cv::Vec3b colourAt(double east, double north) const;

private:
    nlohmann::json description_;
    LocalFrame frame_{0.0, 0.0};
    double cell_ = 1.0, eastMin_ = 0.0, northMax_ = 0.0;
    cv::Mat height_, colour_, roofs_;
};

}  // namespace survey
