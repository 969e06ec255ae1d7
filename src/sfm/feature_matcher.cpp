#include "sfm/feature_matcher.h"

#include <algorithm>
#include <cmath>

#include <ceres/ceres.h>
#include <ceres/rotation.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/flann.hpp>

namespace sfm {
namespace {

// The descriptor search over train's keypoints, built on first use.
cv::flann::Index& indexOf(const ImageFeatures& train) {
    if (!train.index) {
        // The trees are random: a fixed seed makes every run match alike.
        const cv::RNG saved = cv::theRNG();
        cv::theRNG() = cv::RNG(20241208);
        train.index = std::make_shared<cv::flann::Index>(train.descriptors, cv::flann::KDTreeIndexParams(4));
        cv::theRNG() = saved;
    }
    return *train.index;
}

// The k nearest keypoints of train for each keypoint of query (indices and squared distances).
void knn(const ImageFeatures& query, const ImageFeatures& train, int k, cv::Mat& indices, cv::Mat& distances) {
    indexOf(train).knnSearch(query.descriptors, indices, distances, k, cv::flann::SearchParams(32));
}

// For each keypoint of query, its nearest keypoint of train when it passes
// the ratio test among the candidates that accept allows; -1 otherwise.
template <typename Accept>
std::vector<int> nearest(const cv::Mat& indices, const cv::Mat& distances, int trainSize, double ratio, Accept accept) {
    std::vector<int> best(static_cast<size_t>(indices.rows), -1);
    for (int i = 0; i < indices.rows; ++i) {
        int first = -1;
        float d0 = 0.0f, d1 = -1.0f;  // squared distances
        for (int c = 0; c < indices.cols; ++c) {
            const int j = indices.at<int>(i, c);
            if (j < 0 || j >= trainSize || !accept(i, j)) continue;
            if (first < 0) {
                first = j;
                d0 = distances.at<float>(i, c);
            } else {
                d1 = distances.at<float>(i, c);
                break;
            }
        }
        // A lone candidate passes when the search had none further to offer.
        if (first >= 0 && (d1 < 0.0f || d0 < ratio * ratio * d1)) best[static_cast<size_t>(i)] = first;
    }
    return best;
}

// The mutual pairs of two one-way nearest lists.
std::vector<std::pair<int, int>> mutualPairs(const std::vector<int>& forward, const std::vector<int>& backward) {
    std::vector<std::pair<int, int>> out;
    for (size_t i = 0; i < forward.size(); ++i) {
        const int j = forward[i];
        if (j >= 0 && backward[static_cast<size_t>(j)] == static_cast<int>(i)) out.emplace_back(static_cast<int>(i), j);
    }
    return out;
}

// Sampson distance of a pair of rays to the epipolar geometry E (on the plane z = 1).
double sampson(const cv::Matx33d& E, const cv::Point2f& a, const cv::Point2f& b) {
    const cv::Vec3d x(a.x, a.y, 1.0), y(b.x, b.y, 1.0);
    const cv::Vec3d Ex = E * x, Ety = E.t() * y;
    const double e = y.dot(Ex);
    const double d = Ex[0] * Ex[0] + Ex[1] * Ex[1] + Ety[0] * Ety[0] + Ety[1] * Ety[1];
    return d > 0 ? std::abs(e) / std::sqrt(d) : 1e9;
}

// Sampson distance of a pair of rays to a relative pose (x2 = R x1 + t, t
// of unit length), in processing pixels.
struct SampsonCost {
    SampsonCost(const cv::Point2f& a, const cv::Point2f& b, double focal) : x{a.x, a.y}, y{b.x, b.y}, focal(focal) {}
    template <typename T>
    bool operator()(const T* rotation, const T* t, T* residual) const {
        const T first[3] = {T(x[0]), T(x[1]), T(1.0)}, second[3] = {T(y[0]), T(y[1]), T(1.0)};
        T r[3];
        ceres::AngleAxisRotatePoint(rotation, first, r);
        // E x = t x (R x); E' y = R' (y x t).
        const T ex[3] = {t[1] * r[2] - t[2] * r[1], t[2] * r[0] - t[0] * r[2], t[0] * r[1] - t[1] * r[0]};
        const T yt[3] = {second[1] * t[2] - second[2] * t[1], second[2] * t[0] - second[0] * t[2],
                         second[0] * t[1] - second[1] * t[0]};
        const T inverse[3] = {-rotation[0], -rotation[1], -rotation[2]};
        T ety[3];
        ceres::AngleAxisRotatePoint(inverse, yt, ety);
        const T e = second[0] * ex[0] + second[1] * ex[1] + second[2] * ex[2];
        const T d = ex[0] * ex[0] + ex[1] * ex[1] + ety[0] * ety[0] + ety[1] * ety[1];
        if (!(d > T(0.0))) return false;
        residual[0] = T(focal) * e / ceres::sqrt(d);
        return true;
    }
    double x[2], y[2], focal;
};

// The relative pose that fits all the verified pairs (RANSAC's comes from
// its best sample of five): the guided pass searches along its lines, and
// a pose a little off would keep the matches that agree with its error.
void refinePose(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b, const cv::Mat& mask, double focal,
                double pixels, cv::Mat& R, cv::Mat& t) {
    double rotation[3], translation[3];
    cv::Mat rvec;
    cv::Rodrigues(R, rvec);
    for (int k = 0; k < 3; ++k) {
        rotation[k] = rvec.at<double>(k);
        translation[k] = t.at<double>(k);
    }
    const double length = std::sqrt(translation[0] * translation[0] + translation[1] * translation[1] + translation[2] * translation[2]);
    if (!(length > 0.0)) return;
    for (double& v : translation) v /= length;
    ceres::Problem problem;
    int used = 0;
    for (size_t k = 0; k < a.size(); ++k) {
        if (!mask.at<uchar>(static_cast<int>(k))) continue;
        problem.AddResidualBlock(new ceres::AutoDiffCostFunction<SampsonCost, 1, 3, 3>(new SampsonCost(a[k], b[k], focal)),
                                 new ceres::HuberLoss(pixels), rotation, translation);
        ++used;
    }
    if (used < 8) return;
    problem.SetManifold(translation, new ceres::SphereManifold<3>());
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.max_num_iterations = 20;
    options.num_threads = 1;
    options.logging_type = ceres::SILENT;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (!summary.IsSolutionUsable()) return;
    for (int k = 0; k < 3; ++k) {
        rvec.at<double>(k) = rotation[k];
        t.at<double>(k) = translation[k];
    }
    cv::Rodrigues(rvec, R);
}

// The essential matrix of a relative pose.
cv::Mat essentialOf(const cv::Mat& R, const cv::Mat& t) {
    const double x = t.at<double>(0), y = t.at<double>(1), z = t.at<double>(2);
    const cv::Mat skew = (cv::Mat_<double>(3, 3) << 0, -z, y, z, 0, -x, -y, x, 0);
    return skew * R;
}

}  // namespace

void buildIndex(const ImageFeatures& features) {
    if (!features.empty()) indexOf(features);
}

bool matchFeatures(const ImageFeatures& first, const ImageFeatures& second, double processingFocal, PairMatch& out,
                   const MatchSettings& s) {
    out = PairMatch();
    if (first.size() < 8 || second.size() < 8 || processingFocal <= 0.0) return false;
    // Candidates for the guided pass: the nearest few descriptors.
    constexpr int kCandidates = 8;
    cv::Mat fi, fd, bi, bd;
    knn(first, second, kCandidates, fi, fd);
    knn(second, first, kCandidates, bi, bd);
    const int n1 = static_cast<int>(first.size()), n2 = static_cast<int>(second.size());
    auto any = [](int, int) { return true; };
    std::vector<std::pair<int, int>> mutual =
        mutualPairs(nearest(fi, fd, n2, s.ratio, any), nearest(bi, bd, n1, s.ratio, any));
    if (mutual.size() < static_cast<size_t>(std::max(8, s.minInliers))) return false;
    std::vector<cv::Point2d> a, b;
    for (const auto& [i, j] : mutual) {
        a.emplace_back(first.rays[static_cast<size_t>(i)]);
        b.emplace_back(second.rays[static_cast<size_t>(j)]);
    }

    const double threshold = s.epipolarPixels / processingFocal;
    cv::Mat mask;
    const cv::Mat E = cv::findEssentialMat(a, b, cv::Mat::eye(3, 3, CV_64F), cv::RANSAC, 0.999, threshold, mask);
    if (E.rows != 3 || E.cols != 3 || mask.empty()) return false;
    cv::Mat R, t;
    cv::recoverPose(E, a, b, cv::Mat::eye(3, 3, CV_64F), R, t, mask);
    size_t verified = 0;
    for (size_t k = 0; k < mutual.size(); ++k) verified += mask.at<uchar>(static_cast<int>(k)) ? 1 : 0;
    if (verified < static_cast<size_t>(s.minInliers)) return false;

    // The pose that fits all the verified pairs.
    refinePose(a, b, mask, processingFocal, s.epipolarPixels, R, t);
    const cv::Mat refined = essentialOf(R, t);

    // Guided: repeated texture (tree canopy, lawn) fails the ratio test
    // over the whole picture but passes it along the epipolar line. The
    // pairs the relative pose admits are matched again, then checked in
    // front of both views.
    const cv::Matx33d Em(refined);
    auto forwardLine = [&](int i, int j) { return sampson(Em, first.rays[static_cast<size_t>(i)], second.rays[static_cast<size_t>(j)]) < threshold; };
    auto backwardLine = [&](int j, int i) { return sampson(Em, first.rays[static_cast<size_t>(i)], second.rays[static_cast<size_t>(j)]) < threshold; };
    mutual = mutualPairs(nearest(fi, fd, n2, s.guidedRatio, forwardLine), nearest(bi, bd, n1, s.guidedRatio, backwardLine));
    a.clear();
    b.clear();
    for (const auto& [i, j] : mutual) {
        a.emplace_back(first.rays[static_cast<size_t>(i)]);
        b.emplace_back(second.rays[static_cast<size_t>(j)]);
    }
    if (mutual.size() < static_cast<size_t>(s.minInliers)) return false;
    mask = cv::Mat(static_cast<int>(mutual.size()), 1, CV_8U, cv::Scalar(255));
    cv::recoverPose(refined, a, b, cv::Mat::eye(3, 3, CV_64F), R, t, mask);
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
