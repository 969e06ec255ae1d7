#pragma once
// Bundle adjustment of frame poses, points and (optionally) intrinsics with
// Ceres Solver: reprojection errors under a robust loss, GPS positions as
// weighted priors on the camera centres, the recorded attitude as a weak
// prior on the rotation, the recorded calibration as a prior on refined
// intrinsics. Everything is in a local east-north-up frame, in metres.

#include <vector>

#include <opencv2/core.hpp>

namespace sfm {

struct BlockCamera {
    double width = 0, height = 0;
    // f, cx, cy, k1, k2: the refined part; fy = f * aspect.
    double values[5] = {0, 0, 0, 0, 0};
    double aspect = 1.0;
    double p1 = 0, p2 = 0, k3 = 0;  // kept
    bool refine = false;
    // With refine: the values held at their current value (f, cx, cy, k1, k2).
    bool hold[5] = {false, false, false, false, false};
    double prior[5] = {0, 0, 0, 0, 0};  // the recorded values

    // From a parameter vector [width, height, fx, fy, cx, cy, k1, k2, p1, p2, k3].
    static BlockCamera fromParameters(const std::vector<double>& p, bool refine);
    std::vector<double> parameters() const;
};

struct BlockFrame {
    cv::Vec3d rotation{0, 0, 0};  // angle-axis, world to camera
    cv::Vec3d centre{0, 0, 0};
    int camera = 0;
    double pixelScale = 1.0;      // processing pixels per own pixel: image residuals are weighed in those
    cv::Vec3d gps{0, 0, 0};
    cv::Vec3d gpsSigma{0, 0, 0};  // 0: no position prior
    bool attitudePrior = false;
    cv::Vec3d attitude{0, 0, 0};  // angle-axis, world to camera
    double attitudeSigma = 0.0;   // radians
    bool viewOnly = false;        // the prior holds the viewing direction only, not the heading
    bool fixed = false;
    // A prior on the displacement from another frame of the block (its
    // position there; -1: none): the GPS step between them.
    int previous = -1;
    cv::Vec3d step{0, 0, 0};
    cv::Vec3d stepSigma{0, 0, 0};

    cv::Matx33d worldToCamera() const;
    void setWorldToCamera(const cv::Matx33d& R);
};

struct BlockObservation {
    int frame = 0;
    int keyPoint = 0;
    cv::Point2d pixel;  // own pixels
};

struct BlockTrack {
    cv::Vec3d point{0, 0, 0};
    std::vector<BlockObservation> observations;
    bool valid = false;
};

struct AdjustSettings {
    int maxIterations = 60;
    double huberPixels = 2.0;  // processing pixels
    int threads = 4;
};

struct AdjustReport {
    double rmsPixels = 0.0;  // processing pixels, over the observations kept
    int observations = 0;
    int iterations = 0;  // of both runs
    bool usable = false;
};

// Pixel of a world point in a frame's own pixels; false behind the camera.
bool projectPoint(const BlockCamera& camera, const BlockFrame& frame, const cv::Vec3d& point, cv::Point2d& pixel);

// The point closest to the observations' rays (rays: undistorted, z = 1, per
// observation); false when the rays meet behind a camera or nearly parallel.
bool triangulateRays(const std::vector<BlockFrame>& frames, const std::vector<BlockObservation>& observations,
                     const std::vector<cv::Point2d>& rays, cv::Vec3d& point);

// Adjusts in place; tracks need two observations of frames in the block to
// count. Runs twice: once loosely, then, without the observations that stay
// more than a few pixels off, with the robust loss of the settings.
AdjustReport adjustBlock(std::vector<BlockFrame>& frames, std::vector<BlockCamera>& cameras,
                         std::vector<BlockTrack>& tracks, const AdjustSettings& settings = AdjustSettings());

}  // namespace sfm
