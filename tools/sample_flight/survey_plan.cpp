#include "survey/survey_plan.h"

#include "survey/local_frame.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace survey {
namespace {

// The value that a drone's text of it reads back as.
double rounded(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return std::strtod(text, nullptr);
}

}  // namespace

bool SurveyPlan::byName(const std::string& name, SurveyPlan& plan) {
    plan = SurveyPlan();
    plan.name = name;
    if (name == "small") return true;
    if (name == "large") {
        plan.strips = 3;
        plan.framesPerStrip = 12;
        return true;
    }
    if (name == "flat" || name == "flat-noisy") {
        plan.strips = 3;
        plan.framesPerStrip = 10;
        plan.height = 100.0;
        plan.spacing = 20.0;
        plan.stripSpacing = 50.0;
        plan.camera.fx = plan.camera.fy = 1000.0;
        plan.flatGround = true;
        if (name == "flat-noisy") {
            plan.noise = {2.0, 3.0, 1.0, 20241209};
            plan.positionStd[0] = plan.positionStd[1] = 2.0;
            plan.positionStd[2] = 3.0;
            plan.attitudeStd[0] = plan.attitudeStd[1] = plan.attitudeStd[2] = 1.0;
        }
        return true;
    }
    return false;
}

cv::Vec2d SurveyPlan::halfExtent() const {
    // Half the footprint at the lowest ground, tilted by up to two degrees, and a margin.
    const double depth = height + 12.0;
    const double reach = depth * std::tan(2.0 * 3.141592653589793 / 180.0) + 8.0;
    const double alongTrack = (framesPerStrip - 1) / 2.0 * spacing + 1.0 + depth * camera.height / 2 / camera.fy + reach;
    const double acrossTrack = (strips - 1) / 2.0 * stripSpacing + 1.0 + depth * camera.width / 2 / camera.fx + reach;
    return {std::ceil(alongTrack / 10.0) * 10.0, std::ceil(acrossTrack / 10.0) * 10.0};
}

std::vector<SurveyShot> SurveyPlan::shots(double takeoffHeight) const {
    const LocalFrame frame(latitude, longitude);
    cv::RNG rng(seed);
    std::vector<SurveyShot> out;
    for (int s = 0; s < strips; ++s) {
        const bool eastBound = s % 2 == 0;
        for (int j = 0; j < framesPerStrip; ++j) {
            const double step = (j - (framesPerStrip - 1) / 2.0) * spacing;
            const double east = (eastBound ? step : -step) + rng.uniform(-0.5, 0.5);
            const double north = ((strips - 1) / 2.0 - s) * stripSpacing + rng.uniform(-0.7, 0.7);
            const double up = takeoffHeight + height + rng.uniform(-0.4, 0.4);
            const cv::Vec3d geo = frame.toGeodetic({east, north, up});
            SurveyShot shot;
            shot.index = static_cast<int>(out.size());
            shot.strip = s;
            shot.timestamp = startTime + static_cast<int64_t>(interval) * shot.index;
            shot.latitude = rounded(geo[0], 9);
            shot.longitude = rounded(geo[1], 9);
            shot.altitude = rounded(geo[2], 3);
            shot.relativeAltitude = rounded(shot.altitude - takeoffHeight, 3);
            shot.pitch = rounded(-90.0 + rng.uniform(0.0, 1.5), 2);
            shot.yaw = rounded((eastBound ? 90.0 : -90.0) + rng.uniform(-1.5, 1.5), 2);
            shot.roll = rounded(rng.uniform(-0.8, 0.8), 2);
            out.push_back(shot);
        }
    }
    return out;
}

std::vector<SurveyShot> SurveyPlan::recorded(const std::vector<SurveyShot>& shots, double takeoffHeight) const {
    if (!noise.any()) return shots;
    const LocalFrame frame(latitude, longitude);
    cv::RNG rng(noise.seed);
    std::vector<SurveyShot> out;
    for (SurveyShot s : shots) {
        const cv::Vec3d at = frame.fromGeodetic(s.latitude, s.longitude, s.altitude);
        const cv::Vec3d error(rng.gaussian(noise.horizontal), rng.gaussian(noise.horizontal), rng.gaussian(noise.vertical));
        const cv::Vec3d geo = frame.toGeodetic(at + error);
        s.latitude = rounded(geo[0], 9);
        s.longitude = rounded(geo[1], 9);
        s.altitude = rounded(geo[2], 3);
        s.relativeAltitude = rounded(s.altitude - takeoffHeight, 3);
        s.pitch = rounded(s.pitch + rng.gaussian(noise.attitude), 2);
        s.yaw = rounded(s.yaw + rng.gaussian(noise.attitude), 2);
        s.roll = rounded(s.roll + rng.gaussian(noise.attitude), 2);
        out.push_back(s);
    }
    return out;
}

}  // namespace survey
