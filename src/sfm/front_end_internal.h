#pragma once
// Constants and rotation helpers shared by the front end's core and its
// two drivers (batch and live).

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <opencv2/core.hpp>

namespace sfm {
namespace front_end {

constexpr double kDegree = 3.14159265358979323846 / 180.0;
// Without gimbal angles the camera is taken to look down (its image top
// along the flight, for a start only): a loose prior on the viewing
// direction, for the rotation about a single strip's line.
constexpr double kNadirSigma = 10.0 * kDegree;
// Depth support of a handed-on point: of its nearest keypoints in the
// image, this many must lie within the tolerance of its depth.
constexpr size_t kSupportNeighbours = 8;
constexpr int kMinSupport = 2;
constexpr double kSupportTolerance = 0.01;
// Live: the most points the window's adjustment solves for.
constexpr size_t kWindowPoints = 2000;
// Live: how much looser the absolute GPS prior of a frame is than its record says.
constexpr double kLiveGpsLoosening = 20.0;
// Live: the frames' spread (weighted by their GPS accuracy) the GPS must
// show before it tells the scale (to about 1 / sqrt of it).
constexpr double kMinScaleSpread = 2500.0;
// Live: the spread at which the held frames of a flight's start are handed
// on: the scale to 1 / 300, which keeps neighbours' relative positions
// within 1 % of their baseline at three standard deviations.
constexpr double kSettledScaleSpread = 300.0 * 300.0;
// A recorded attitude that the images turn by more than this from its
// neighbours' is wrong (a gimbal heading half a turn off on a strip flown
// backwards): the images give that frame's heading.
constexpr double kHeadingDisagreement = 30.0 * kDegree;
// Points departing from the plane that fits a frame's points by this much
// of their depth (the median over the frames of the median) tell the radial
// terms and the principal point from a bend of the block.
constexpr double kReliefForLens = 0.01;
// The focal length trades with the flying height until the relief is larger
// still. Below this, a focal length refined with the lens follows what the
// lens model leaves out rather than the ground: on the real flight (tree
// canopy over a lawn, 1.4 %) it came out 7 % above the camera's and its DSM
// 1.8 m below the one of the recorded focal length.
constexpr double kReliefForFocalLength = 0.015;
// A GPS position this many of its standard deviations off the fit counts half.
constexpr double kGpsLossSigmas = 3.0;
// A GPS step between matched frames whose direction the images turn by
// more than this is wrong at one end: a frame whose steps are mostly wrong
// has a wrong position.
constexpr double kGpsDisagreement = 20.0 * kDegree;
// The gimbal's attitude is a prior as loose as its record says, never tighter than this.
constexpr double kAttitudeSigmaFloor = 0.05 * kDegree;

// The nearest rotation to a 3x3 matrix.
inline cv::Matx33d nearestRotation(const cv::Matx33d& M) {
    cv::Mat w, u, vt;
    cv::SVD::compute(cv::Mat(M), w, u, vt);
    cv::Matx33d R = cv::Matx33d(cv::Mat(u * vt));
    if (cv::determinant(R) < 0) {
        cv::Mat d = cv::Mat::eye(3, 3, CV_64F);
        d.at<double>(2, 2) = -1.0;
        R = cv::Matx33d(cv::Mat(u * d * vt));
    }
    return R;
}

// The turn about the viewing axis (radians) that best fits a relative
// rotation of two cameras, and the rotation of that turn.
inline double viewTurn(const cv::Matx33d& relative) {
    return std::atan2(relative(1, 0) - relative(0, 1), relative(0, 0) + relative(1, 1));
}
inline cv::Matx33d aboutViewingAxis(double turn) {
    const double c = std::cos(turn), s = std::sin(turn);
    return cv::Matx33d(c, -s, 0, s, c, 0, 0, 0, 1);
}
// The angle of a rotation, radians.
inline double rotationAngle(const cv::Matx33d& R) { return std::acos(std::clamp((cv::trace(R) - 1.0) / 2.0, -1.0, 1.0)); }

// An angle in (-pi, pi].
inline double wrapAngle(double a) { return std::remainder(a, 2.0 * 3.14159265358979323846); }

// Smaller turns between neighbours are left to the adjustment.
constexpr double kHeadingKept = 5.0 * kDegree;

// Along a strip neighbours keep their heading: a larger relative rotation
// is a turn or a wrong decomposition, and the images' chain breaks there.
inline bool sameHeading(const cv::Matx33d& relative) { return (cv::trace(relative) - 1.0) / 2.0 > std::cos(5.0 * kDegree); }


}  // namespace front_end
}  // namespace sfm
