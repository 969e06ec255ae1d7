#include "sfm/pair_matcher.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace sfm {
namespace {

// Normalised cross-correlation of two equal-sized float patches.
double ncc(const cv::Mat& a, const cv::Mat& b) {
    cv::Scalar meanA, stdA, meanB, stdB;
    cv::meanStdDev(a, meanA, stdA);
    cv::meanStdDev(b, meanB, stdB);
    if (stdA[0] < 1e-6 || stdB[0] < 1e-6) return -1.0;
    const cv::Mat da = a - meanA[0];
    const cv::Mat db = b - meanB[0];
    return da.dot(db) / (static_cast<double>(a.total()) * stdA[0] * stdB[0]);
}

bool patchInside(const cv::Mat& image, int x, int y, int radius) {
    return x - radius >= 0 && y - radius >= 0 && x + radius < image.cols && y + radius < image.rows;
}

cv::Mat patchAt(const cv::Mat& image, int x, int y, int radius) {
    return image(cv::Rect(x - radius, y - radius, 2 * radius + 1, 2 * radius + 1));
}

// Offset of the peak of three samples, in -0.5 .. 0.5.
double parabolaPeak(double left, double centre, double right) {
    const double denominator = left - 2.0 * centre + right;
    if (std::abs(denominator) < 1e-12) return 0.0;
    return std::clamp(0.5 * (left - right) / denominator, -0.5, 0.5);
}

cv::Point2d project(const cv::Matx34d& P, const cv::Vec4d& X) {
    const cv::Vec3d p = P * X;
    return {p[0] / p[2], p[1] / p[2]};
}

}  // namespace

std::vector<PairPoint> matchPair(const PinholeView& first, const PinholeView& second, const PairMatchSettings& s) {
    std::vector<PairPoint> points;
    if (first.grey.empty() || second.grey.empty() || first.grey.type() != CV_8UC1 || second.grey.type() != CV_8UC1)
        return points;

    // The second view resampled as if it had the first one's rotation and
    // camera matrix: the pair then differs by a translation only.
    const cv::Matx33d H = second.K * second.R.t() * first.R * first.K.inv();  // virtual pixel -> second pixel
    cv::Mat virtualGrey, validMask;
    cv::warpPerspective(second.grey, virtualGrey, cv::Mat(H), first.grey.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT, 0);
    const cv::Mat full(second.grey.size(), CV_8UC1, cv::Scalar(255));
    cv::warpPerspective(full, validMask, cv::Mat(H), first.grey.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT, 0);
    cv::erode(validMask, validMask, cv::Mat(), cv::Point(-1, -1), s.patchRadius + s.refineRadius + 1);

    // In first-camera coordinates the virtual camera sits at -t.
    const cv::Vec3d t = first.R.t() * (first.centre - second.centre);
    if (cv::norm(t) < 1e-9) return points;
    const cv::Matx34d PA(first.K(0, 0), first.K(0, 1), first.K(0, 2), 0.0, first.K(1, 0), first.K(1, 1), first.K(1, 2), 0.0,
                         first.K(2, 0), first.K(2, 1), first.K(2, 2), 0.0);
    const cv::Vec3d Kt = first.K * t;
    const cv::Matx34d PV(first.K(0, 0), first.K(0, 1), first.K(0, 2), Kt[0], first.K(1, 0), first.K(1, 1), first.K(1, 2),
                         Kt[1], first.K(2, 0), first.K(2, 1), first.K(2, 2), Kt[2]);
    const cv::Vec3d epipole = Kt;  // homogeneous

    std::vector<cv::Point2f> cornersA, cornersV;
    const int margin = s.patchRadius + 1;
    cv::Mat maskA(first.grey.size(), CV_8UC1, cv::Scalar(0));
    if (first.grey.cols > 2 * margin && first.grey.rows > 2 * margin)
        maskA(cv::Rect(margin, margin, first.grey.cols - 2 * margin, first.grey.rows - 2 * margin)).setTo(255);
    cv::goodFeaturesToTrack(first.grey, cornersA, s.maxCorners, s.cornerQuality, s.cornerDistance, maskA);
    cv::goodFeaturesToTrack(virtualGrey, cornersV, s.maxCorners, s.cornerQuality, s.cornerDistance, validMask);
    if (cornersA.empty() || cornersV.empty()) return points;

    cv::Mat floatA, floatV;
    first.grey.convertTo(floatA, CV_32F);
    virtualGrey.convertTo(floatV, CV_32F);

    struct Candidate {
        cv::Point2d a, v;
        double score;
        cv::Vec3d X;  // first-camera coordinates
    };
    const int r = s.patchRadius;
    auto pixelOf = [](const cv::Point2f& p) { return cv::Point(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y))); };
    auto usable = [&](const cv::Mat& image, const cv::Point& p) { return patchInside(image, p.x, p.y, r); };

    // Scores of every corner pair near each other's epipolar line.
    std::vector<cv::Point> pixelsA, pixelsV;
    std::vector<cv::Vec3d> linesA;
    for (const auto& c : cornersA) {
        const cv::Point p = pixelOf(c);
        const cv::Vec3d line = epipole.cross(cv::Vec3d(p.x, p.y, 1.0));
        if (!usable(floatA, p) || std::hypot(line[0], line[1]) < 1e-12) continue;
        pixelsA.push_back(p);
        linesA.push_back(line / std::hypot(line[0], line[1]));
    }
    for (const auto& c : cornersV) {
        const cv::Point p = pixelOf(c);
        if (usable(floatV, p)) pixelsV.push_back(p);
    }
    struct Best {
        int index = -1;
        double score = -2.0, runnerUp = -2.0;
        void offer(int i, double value) {
            if (value > score) {
                runnerUp = score;
                score = value;
                index = i;
            } else if (value > runnerUp) {
                runnerUp = value;
            }
        }
    };
    std::vector<Best> bestForA(pixelsA.size()), bestForV(pixelsV.size());
    for (size_t i = 0; i < pixelsA.size(); ++i) {
        const cv::Mat patchA = patchAt(floatA, pixelsA[i].x, pixelsA[i].y, r);
        const cv::Vec3d& line = linesA[i];
        for (size_t j = 0; j < pixelsV.size(); ++j) {
            const cv::Point& c = pixelsV[j];
            if (std::abs(line[0] * c.x + line[1] * c.y + line[2]) > s.epipolarBand + 0.75) continue;
            const double score = ncc(patchA, patchAt(floatV, c.x, c.y, r));
            bestForA[i].offer(static_cast<int>(j), score);
            bestForV[j].offer(static_cast<int>(i), score);
        }
    }

    std::vector<Candidate> accepted;
    for (size_t i = 0; i < pixelsA.size(); ++i) {
        const Best& best = bestForA[i];
        if (best.index < 0 || best.score < s.minScore || best.runnerUp > best.score - s.uniqueness) continue;
        const Best& back = bestForV[static_cast<size_t>(best.index)];
        if (back.index != static_cast<int>(i) || back.runnerUp > back.score - s.uniqueness) continue;
        const cv::Point bestPixel = pixelsV[static_cast<size_t>(best.index)];
        const cv::Mat patchA = patchAt(floatA, pixelsA[i].x, pixelsA[i].y, r);
        const cv::Vec3d& line = linesA[i];

        // Refine around the candidate with the first view's patch.
        const int R = s.refineRadius;
        const cv::Rect window(bestPixel.x - r - R, bestPixel.y - r - R, 2 * (r + R) + 1, 2 * (r + R) + 1);
        if ((window & cv::Rect(0, 0, floatV.cols, floatV.rows)) != window) continue;
        cv::Mat response;
        cv::matchTemplate(floatV(window), patchA, response, cv::TM_CCOEFF_NORMED);
        double peak;
        cv::Point at;
        cv::minMaxLoc(response, nullptr, &peak, nullptr, &at);
        if (peak < s.minScore || at.x == 0 || at.y == 0 || at.x == response.cols - 1 || at.y == response.rows - 1) continue;
        const double dx = parabolaPeak(response.at<float>(at.y, at.x - 1), response.at<float>(at.y, at.x),
                                       response.at<float>(at.y, at.x + 1));
        const double dy = parabolaPeak(response.at<float>(at.y - 1, at.x), response.at<float>(at.y, at.x),
                                       response.at<float>(at.y + 1, at.x));
        const cv::Point2d v(window.x + at.x + r + dx, window.y + at.y + r + dy);
        if (std::abs(line[0] * v.x + line[1] * v.y + line[2]) > s.epipolarBand) continue;

        const cv::Point2d a(pixelsA[i].x, pixelsA[i].y);
        cv::Mat X4;
        cv::triangulatePoints(cv::Mat(PA), cv::Mat(PV), cv::Mat(cv::Matx21d(a.x, a.y)), cv::Mat(cv::Matx21d(v.x, v.y)), X4);
        const double w = X4.at<double>(3);
        if (std::abs(w) < 1e-15) continue;
        const cv::Vec4d Xh(X4.at<double>(0) / w, X4.at<double>(1) / w, X4.at<double>(2) / w, 1.0);
        const cv::Vec3d X(Xh[0], Xh[1], Xh[2]);
        if (X[2] <= 0.0 || X[2] + t[2] <= 0.0) continue;
        const cv::Point2d ra = project(PA, Xh), rv = project(PV, Xh);
        if (cv::norm(ra - a) > s.maxReprojection || cv::norm(rv - v) > s.maxReprojection) continue;
        accepted.push_back({a, v, peak, X});
    }

    // Depth support from the nearest neighbours in the first view.
    std::vector<Candidate> supported;
    for (const Candidate& c : accepted) {
        std::vector<std::pair<double, double>> near;  // image distance, depth
        // Neighbours whose patches overlap this one's are no witnesses.
        for (const Candidate& o : accepted) {
            const double distance = cv::norm(o.a - c.a);
            if (distance > 2 * r + 1) near.emplace_back(distance, o.X[2]);
        }
        const size_t k = std::min(near.size(), static_cast<size_t>(std::max(0, s.supportNeighbours)));
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(k), near.end());
        int support = 0;
        for (size_t n = 0; n < k; ++n)
            if (std::abs(near[n].second - c.X[2]) <= s.supportTolerance * c.X[2]) ++support;
        if (support >= s.minSupport) supported.push_back(c);
    }
    accepted.swap(supported);

    // One point per corner of the second view: the best-scoring claim wins.
    std::sort(accepted.begin(), accepted.end(), [](const Candidate& l, const Candidate& r2) { return l.score > r2.score; });
    std::vector<cv::Point2d> taken;
    for (const Candidate& c : accepted) {
        bool clash = false;
        for (const cv::Point2d& p : taken)
            if (cv::norm(p - c.v) < 1.0) {
                clash = true;
                break;
            }
        if (clash) continue;
        taken.push_back(c.v);
        PairPoint p;
        p.a = c.a;
        const cv::Vec3d hb = H * cv::Vec3d(c.v.x, c.v.y, 1.0);
        p.b = {hb[0] / hb[2], hb[1] / hb[2]};
        p.world = first.centre + first.R * c.X;
        p.depthA = c.X[2];
        p.depthB = (second.R.t() * (p.world - second.centre))[2];
        if (p.depthB <= 0.0) continue;
        points.push_back(p);
    }
    if (points.size() < static_cast<size_t>(std::max(0, s.minPoints))) points.clear();
    std::sort(points.begin(), points.end(), [](const PairPoint& l, const PairPoint& r2) {
        return l.a.y < r2.a.y || (l.a.y == r2.a.y && l.a.x < r2.a.x);
    });
    return points;
}

}  // namespace sfm
