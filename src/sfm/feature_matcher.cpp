#include "sfm/feature_matcher.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/flann.hpp>

namespace sfm {
namespace {

// For each keypoint of query, its nearest keypoint of train when it passes the ratio test; -1 otherwise.
std::vector<int> nearest(const ImageFeatures& query, const ImageFeatures& train, double ratio) {
    if (!train.index) {
        // The trees are random: a fixed seed makes every run match alike.
        const cv::RNG saved = cv::theRNG();
        cv::theRNG() = cv::RNG(20241208);
        train.index = std::make_shared<cv::flann::Index>(train.descriptors, cv::flann::KDTreeIndexParams(4));
        cv::theRNG() = saved;
    }
    cv::Mat indices, distances;
    train.index->knnSearch(query.descriptors, indices, distances, 2, cv::flann::SearchParams(32));
    std::vector<int> best(static_cast<size_t>(query.descriptors.rows), -1);
    for (int i = 0; i < indices.rows; ++i) {
        // Squared distances.
        const float d0 = distances.at<float>(i, 0), d1 = distances.at<float>(i, 1);
        const int j = indices.at<int>(i, 0);
        if (j >= 0 && j < train.descriptors.rows && d0 < ratio * ratio * d1) best[static_cast<size_t>(i)] = j;
    }
    return best;
}

}  // namespace

bool matchFeatures(const ImageFeatures& first, const ImageFeatures& second, double processingFocal, PairMatch& out,
                   const MatchSettings& s) {
    out = PairMatch();
    if (first.size() < 8 || second.size() < 8 || processingFocal <= 0.0) return false;
    const std::vector<int> forward = nearest(first, second, s.ratio);
    const std::vector<int> backward = nearest(second, first, s.ratio);
    std::vector<std::pair<int, int>> mutual;
    std::vector<cv::Point2d> a, b;
    for (size_t i = 0; i < forward.size(); ++i) {
        const int j = forward[i];
        if (j < 0 || backward[static_cast<size_t>(j)] != static_cast<int>(i)) continue;
        mutual.emplace_back(static_cast<int>(i), j);
        a.emplace_back(first.rays[i]);
        b.emplace_back(second.rays[static_cast<size_t>(j)]);
    }
    if (mutual.size() < static_cast<size_t>(std::max(8, s.minInliers))) return false;

    cv::Mat mask;
    const cv::Mat E = cv::findEssentialMat(a, b, cv::Mat::eye(3, 3, CV_64F), cv::RANSAC, 0.999,
                                           s.epipolarPixels / processingFocal, mask);
    if (E.rows != 3 || E.cols != 3 || mask.empty()) return false;
    cv::Mat R, t;
    cv::recoverPose(E, a, b, cv::Mat::eye(3, 3, CV_64F), R, t, mask);
    for (size_t k = 0; k < mutual.size(); ++k)
        if (mask.at<uchar>(static_cast<int>(k))) out.inliers.push_back(mutual[k]);
    if (out.inliers.size() < static_cast<size_t>(s.minInliers)) {
        out = PairMatch();
        return false;
    }
    out.rotation = cv::Matx33d(R);
    out.direction = cv::Vec3d(t.at<double>(0), t.at<double>(1), t.at<double>(2));
    return true;
}

}  // namespace sfm
