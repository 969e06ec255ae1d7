#pragma once
// The flight plan of a synthetic survey: parallel east-west strips flown in a
// serpentine, a camera looking down, and the shots with their recorded
// position and gimbal angles (rounded as a drone writes them).

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace survey {

struct SurveyCamera {
    int width = 1368, height = 912;
    double fx = 912.25, fy = 912.25, cx = 681.25, cy = 458.5;
    double sensorWidth = 13.2;  // millimetres, for the focal length in the EXIF
    // Radial distortion of the lens the frames are rendered with; the
    // records say none whatever it is.
    double k1 = 0.0;

    cv::Matx33d K() const { return cv::Matx33d(fx, 0, cx, 0, fy, cy, 0, 0, 1); }
    double focalLength() const { return fx * sensorWidth / width; }
};

struct SurveyShot {
    int index = 0, strip = 0;
    int64_t timestamp = 0;                       // seconds since 1970 UTC
    double latitude = 0, longitude = 0, altitude = 0;  // degrees, degrees, metres (WGS84)
    double relativeAltitude = 0;                 // above the take-off point
    double pitch = 0, yaw = 0, roll = 0;         // gimbal, degrees
};

// Errors of the records against the true poses: normal, with these sigmas.
struct RecordNoise {
    double horizontal = 0.0, vertical = 0.0;  // GPS, metres
    double attitude = 0.0;                    // each gimbal angle, degrees
    uint64_t seed = 0;

    bool any() const { return horizontal > 0.0 || vertical > 0.0 || attitude > 0.0; }
};

struct SurveyPlan {
    std::string name;
    int strips = 2, framesPerStrip = 6;
    double height = 60.0;        // above the take-off point
    double spacing = 15.0;       // metres between frames along a strip
    double stripSpacing = 36.0;  // metres between strips
    double latitude = 22.5, longitude = 113.9;  // the reference: middle of the survey at the ground
    int64_t startTime = 1733650000;
    int interval = 2;  // seconds between frames
    uint64_t seed = 20241208;
    SurveyCamera camera;
    bool flatGround = false;  // level ground at the take-off height, no buildings
    RecordNoise noise;
    // The accuracy that the records state: longitude, latitude, altitude (metres).
    double positionStd[3] = {0.02, 0.02, 0.05};
    // And of the gimbal angles: pitch, yaw, roll (degrees).
    double attitudeStd[3] = {1.0, 10.0, 1.0};

    // "small": two strips of six frames; "large": three strips of twelve;
    // "flat": three strips of ten over level ground, 100 m up, f 1000 px;
    // "flat-noisy": the same flight with GPS and gimbal errors in its records.
    static bool byName(const std::string& name, SurveyPlan& plan);

    // Nominal overlaps on ground at the take-off height.
    double forwardOverlap() const { return 1.0 - spacing / (height * camera.height / camera.fy); }
    double sideOverlap() const { return 1.0 - stripSpacing / (height * camera.width / camera.fx); }

    // Half extents (east, north) of the ground that the views can reach,
    // rounded up to whole tens of metres.
    cv::Vec2d halfExtent() const;

    // The shots in flight order, with small deterministic deviations from the plan.
    std::vector<SurveyShot> shots(double takeoffHeight) const;
    // What the records say of those shots: the shots with the plan's noise.
    std::vector<SurveyShot> recorded(const std::vector<SurveyShot>& shots, double takeoffHeight) const;
};

}  // namespace survey
