#include "map_check/survey_comparison.h"

#include "survey/local_frame.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace mapcheck {

ErrorStats summarise(std::vector<double> errors) {
    ErrorStats s;
    s.count = errors.size();
    if (errors.empty()) return s;
    double sum = 0.0, squares = 0.0;
    for (double e : errors) sum += e, squares += e * e;
    s.mean = sum / double(errors.size());
    s.rmse = std::sqrt(squares / double(errors.size()));
    for (double& e : errors) e = std::abs(e);
    const size_t k = std::min(errors.size() - 1, size_t(std::ceil(0.95 * double(errors.size()))) - 1);
    std::nth_element(errors.begin(), errors.begin() + long(k), errors.end());
    s.p95 = errors[k];
    return s;
}

bool SurveyComparison::load(const std::string& truthFolder, std::string& error) {
    if (!truth_.load(truthFolder, error)) return false;
    cv::Mat edges;
    cv::morphologyEx(truth_.roofs(), edges, cv::MORPH_GRADIENT, cv::Mat::ones(3, 3, CV_8U));
    cv::Mat notEdge = edges == 0;
    cv::distanceTransform(notEdge, edgeDistance_, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    edgeDistance_ *= truth_.description()["grid"]["cell"].get<double>();
    return true;
}

cv::Vec3d SurveyComparison::local(double latitude, double longitude, double height) const {
    return truth_.frame().fromGeodetic(latitude, longitude, height);
}

double SurveyComparison::edgeDistance(double east, double north) const {
    const auto& grid = truth_.description()["grid"];
    const double cell = grid["cell"].get<double>();
    const int c = int(std::floor((east - grid["east_min"].get<double>()) / cell));
    const int r = int(std::floor((grid["north_max"].get<double>() - north) / cell));
    if (c < 0 || r < 0 || c >= edgeDistance_.cols || r >= edgeDistance_.rows) return 0.0;
    return edgeDistance_.at<float>(r, c);
}

double SurveyComparison::slope(double quantile, double minEdgeDistance) const {
    const cv::Mat& h = truth_.height();
    const double cell = truth_.description()["grid"]["cell"].get<double>();
    std::vector<double> slopes;
    for (int r = 1; r + 1 < h.rows; ++r)
        for (int c = 1; c + 1 < h.cols; ++c) {
            if (edgeDistance_.at<float>(r, c) < minEdgeDistance) continue;
            const double gx = (h.at<float>(r, c + 1) - h.at<float>(r, c - 1)) / (2 * cell);
            const double gy = (h.at<float>(r + 1, c) - h.at<float>(r - 1, c)) / (2 * cell);
            slopes.push_back(std::hypot(gx, gy));
        }
    if (slopes.empty()) return 0.0;
    const size_t k = std::min(slopes.size() - 1, size_t(quantile * double(slopes.size())));
    std::nth_element(slopes.begin(), slopes.begin() + long(k), slopes.end());
    return slopes[k];
}

std::vector<double> SurveyComparison::heightErrors(const std::vector<DsmCell>& cells, double minEdgeDistance) const {
    std::vector<double> errors;
    for (const DsmCell& d : cells) {
        const cv::Vec3d p = local(d.position.latitude, d.position.longitude, d.height);
        if (edgeDistance(p[0], p[1]) < minEdgeDistance) continue;
        const double truth = truth_.heightAt(p[0], p[1]);
        if (std::isnan(truth)) continue;
        errors.push_back(p[2] - truth);
    }
    return errors;
}

std::vector<double> SurveyComparison::pointErrors(const std::vector<cv::Vec3d>& ecef, double minEdgeDistance) const {
    std::vector<double> errors;
    for (const cv::Vec3d& x : ecef) {
        const cv::Vec3d p = truth_.frame().toLocal(x);
        if (edgeDistance(p[0], p[1]) < minEdgeDistance) continue;
        const double truth = truth_.heightAt(p[0], p[1]);
        if (std::isnan(truth)) continue;
        errors.push_back(p[2] - truth);
    }
    return errors;
}

namespace {

// Local east-north of the pixel positions of a mosaic: affine about its
// centre, the metres per pixel hardly changing across a survey.
struct PixelToLocal {
    cv::Vec3d centre, alongX, alongY;
    cv::Point2d middle;
    cv::Vec3d operator()(double x, double y) const {
        return centre + (x - middle.x) * alongX + (y - middle.y) * alongY;
    }
};

PixelToLocal pixelToLocal(const SurveyComparison& truth, const DomMosaic& m) {
    const auto at = [&](double x, double y) {
        const LatLon g = pixelToLatLon(m.origin.x + x, m.origin.y + y, m.zoom);
        return truth.local(g.latitude, g.longitude, 0.0);
    };
    PixelToLocal f;
    f.middle = {m.image.cols / 2.0, m.image.rows / 2.0};
    f.centre = at(f.middle.x, f.middle.y);
    f.alongX = at(f.middle.x + 1.0, f.middle.y) - f.centre;
    f.alongY = at(f.middle.x, f.middle.y + 1.0) - f.centre;
    return f;
}

}  // namespace

cv::Mat SurveyComparison::trueColour(const DomMosaic& m) const {
    cv::Mat out(m.image.size(), CV_8UC3, cv::Scalar::all(0));
    const PixelToLocal toLocal = pixelToLocal(*this, m);
    constexpr int kSamples = 4;
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            cv::Vec3d sum(0, 0, 0);
            for (int i = 0; i < kSamples; ++i)
                for (int j = 0; j < kSamples; ++j) {
                    const cv::Vec3d q = toLocal(c + (j + 0.5) / kSamples, r + (i + 0.5) / kSamples);
                    const cv::Vec3b colour = truth_.colourAt(q[0], q[1]);
                    sum += cv::Vec3d(colour[0], colour[1], colour[2]);
                }
            sum *= 1.0 / (kSamples * kSamples);
            out.at<cv::Vec3b>(r, c) = cv::Vec3b(cv::saturate_cast<uchar>(sum[0]), cv::saturate_cast<uchar>(sum[1]),
                                                cv::saturate_cast<uchar>(sum[2]));
        }
    return out;
}

cv::Mat SurveyComparison::awayFromEdges(const DomMosaic& m, double minEdgeDistance) const {
    cv::Mat out(m.image.size(), CV_8UC1, cv::Scalar::all(0));
    const PixelToLocal toLocal = pixelToLocal(*this, m);
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            const cv::Vec3d p = toLocal(c + 0.5, r + 0.5);
            if (edgeDistance(p[0], p[1]) >= minEdgeDistance) out.at<uchar>(r, c) = 255;
        }
    return out;
}

cv::Point2d bestShift(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, int range, double* peak) {
    // b's inner part, masked, as the template slid over a.
    const cv::Rect inner(range, range, b.cols - 2 * range, b.rows - 2 * range);
    cv::Mat weight;
    mask(inner).convertTo(weight, CV_32F, 1.0 / 255.0);
    cv::Mat scores;
    cv::matchTemplate(a, b(inner), scores, cv::TM_CCORR_NORMED, weight);
    cv::Point best;
    double top = 0;
    cv::minMaxLoc(scores, nullptr, &top, nullptr, &best);
    // Parabola through the peak and its neighbours along each axis.
    const auto refine = [](float left, float centre, float right) {
        const double d = double(left) - 2.0 * centre + right;
        return d < 0 ? 0.5 * (double(left) - right) / d : 0.0;
    };
    cv::Point2d at(best.x, best.y);
    if (best.x > 0 && best.x + 1 < scores.cols)
        at.x += refine(scores.at<float>(best.y, best.x - 1), scores.at<float>(best.y, best.x),
                       scores.at<float>(best.y, best.x + 1));
    if (best.y > 0 && best.y + 1 < scores.rows)
        at.y += refine(scores.at<float>(best.y - 1, best.x), scores.at<float>(best.y, best.x),
                       scores.at<float>(best.y + 1, best.x));
    if (peak) *peak = top;
    // b(p + range) sits on a(p + at): b(p + shift) = a(p) with shift = range - at.
    return {range - at.x, range - at.y};
}

}  // namespace mapcheck
