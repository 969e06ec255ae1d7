#pragma once
// Matches of two frames' keypoints: nearest descriptors both ways with the
// ratio test, then the essential matrix by RANSAC keeps the matches that fit
// one relative pose.

#include "sfm/image_features.h"

#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace sfm {

struct MatchSettings {
    double ratio = 0.8;            // best over second-best descriptor distance
    double guidedRatio = 0.9;      // the same among the candidates on the epipolar line
    double epipolarPixels = 1.0;   // RANSAC threshold, in processing pixels
    int minInliers = 30;           // fewer: the frames do not overlap
};

struct PairMatch {
    std::vector<std::pair<int, int>> inliers;  // keypoint of the first, of the second
    cv::Matx33d rotation = cv::Matx33d::eye();  // first camera axes to second camera axes
    cv::Vec3d direction{0, 0, 0};               // unit translation, in the second camera's axes
};

// Builds the keypoints' descriptor search index, which matching otherwise
// builds on first use: before matching one frame in several pairs at once.
void buildIndex(const ImageFeatures& features);

// False (out empty) when fewer than minInliers matches are verified.
bool matchFeatures(const ImageFeatures& first, const ImageFeatures& second, double processingFocal, PairMatch& out,
                   const MatchSettings& settings = MatchSettings());

}  // namespace sfm
