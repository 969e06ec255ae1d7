#pragma once
// Sparse structure between two located views: corners of the first view are
// matched along the epipolar lines that the known poses give in the second
// view, then triangulated.

#include <vector>

#include <opencv2/core.hpp>

namespace sfm {

// A distortion-free grey view at processing resolution with its pose.
struct PinholeView {
    cv::Mat grey;      // 8-bit, one channel
    cv::Matx33d K;     // camera matrix of grey
    cv::Matx33d R;     // camera-to-world rotation (x right, y down, z forward)
    cv::Vec3d centre;  // camera centre in world coordinates
};

struct PairMatchSettings {
    int maxCorners = 1000;
    double cornerQuality = 0.005;
    double cornerDistance = 7.0;  // pixels between corners
    int patchRadius = 7;          // patches of 15 x 15
    double epipolarBand = 2.5;    // pixels from the epipolar line
    double minScore = 0.85;       // normalised cross-correlation
    double uniqueness = 0.05;     // the runner-up must score this much less
    int refineRadius = 3;         // pixels searched around a candidate
    double maxReprojection = 2.0; // pixels, in both views
    // A point is kept only when this many of its neighbours (the nearest
    // supportNeighbours in the first view whose patches do not overlap
    // its own) lie at a depth within
    // supportTolerance of its own: stray matches have no such support.
    int supportNeighbours = 8;
    int minSupport = 2;
    double supportTolerance = 0.05;
    // Fewer points than this are chance matches of views that do not overlap.
    int minPoints = 20;
};

struct PairPoint {
    cv::Point2d a;   // pixel in the first view
    cv::Point2d b;   // pixel in the second view
    cv::Vec3d world; // triangulated point
    double depthA = 0.0;
    double depthB = 0.0;
};

// Points seen by both views, in front of both and within the reprojection
// limit; each corner of either view is used at most once. Empty when the
// views share no baseline, too few points survive, or an image is missing.
std::vector<PairPoint> matchPair(const PinholeView& first, const PinholeView& second,
                                 const PairMatchSettings& settings = PairMatchSettings());

}  // namespace sfm
