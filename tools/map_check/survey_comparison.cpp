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

bool SurveyComparison::load(const std::string& truthFolder, std::string* error) {
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

cv::Mat SurveyComparison::trueColour(const DomMosaic& m) const {
    cv::Mat out(m.image.size(), CV_8UC3, cv::Scalar::all(0));
    // Samples around a pixel centre by the local metres per pixel, which
    // hardly change across a survey.
    const auto at = [&](double x, double y) {
        const LatLon g = pixelToLatLon(m.origin.x + x, m.origin.y + y, m.zoom);
        return local(g.latitude, g.longitude, 0.0);
    };
    const cv::Vec3d centre = at(out.cols / 2.0, out.rows / 2.0);
    const cv::Vec3d alongX = at(out.cols / 2.0 + 1.0, out.rows / 2.0) - centre;
    const cv::Vec3d alongY = at(out.cols / 2.0, out.rows / 2.0 + 1.0) - centre;
    constexpr int kSamples = 4;
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            const cv::Vec3d p = at(c + 0.5, r + 0.5);
            cv::Vec3d sum(0, 0, 0);
            for (int i = 0; i < kSamples; ++i)
                for (int j = 0; j < kSamples; ++j) {
                    const double u = (j + 0.5) / kSamples - 0.5, v = (i + 0.5) / kSamples - 0.5;
                    const cv::Vec3d q = p + u * alongX + v * alongY;
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
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            const LatLon g = pixelToLatLon(m.origin.x + c + 0.5, m.origin.y + r + 0.5, m.zoom);
            const cv::Vec3d p = local(g.latitude, g.longitude, 0.0);
            if (edgeDistance(p[0], p[1]) >= minEdgeDistance) out.at<uchar>(r, c) = 255;
        }
    return out;
}

namespace {

double correlation(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, int dx, int dy) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    size_t n = 0;
    for (int r = 0; r < a.rows; ++r) {
        const int rb = r + dy;
        if (rb < 0 || rb >= b.rows) continue;
        for (int c = 0; c < a.cols; ++c) {
            const int cb = c + dx;
            if (cb < 0 || cb >= b.cols || !mask.at<uchar>(r, c) || !mask.at<uchar>(rb, cb)) continue;
            const double x = a.at<float>(r, c), y = b.at<float>(rb, cb);
            sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
            ++n;
        }
    }
    if (n < 2) return -1.0;
    const double va = saa - sa * sa / double(n), vb = sbb - sb * sb / double(n);
    if (!(va > 0 && vb > 0)) return -1.0;
    return (sab - sa * sb / double(n)) / std::sqrt(va * vb);
}

}  // namespace

cv::Point2d bestShift(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, int range, double* peak) {
    const int side = 2 * range + 1;
    cv::Mat scores(side, side, CV_64F);
    cv::Point best(range, range);
    for (int dy = -range; dy <= range; ++dy)
        for (int dx = -range; dx <= range; ++dx) {
            const double s = correlation(a, b, mask, dx, dy);
            scores.at<double>(dy + range, dx + range) = s;
            if (s > scores.at<double>(best.y, best.x)) best = {dx + range, dy + range};
        }
    // Parabola through the peak and its neighbours along each axis.
    const auto refine = [&](double left, double centre, double right) {
        const double d = left - 2 * centre + right;
        return d < 0 ? 0.5 * (left - right) / d : 0.0;
    };
    cv::Point2d shift(best.x - range, best.y - range);
    if (best.x > 0 && best.x + 1 < side)
        shift.x += refine(scores.at<double>(best.y, best.x - 1), scores.at<double>(best.y, best.x),
                          scores.at<double>(best.y, best.x + 1));
    if (best.y > 0 && best.y + 1 < side)
        shift.y += refine(scores.at<double>(best.y - 1, best.x), scores.at<double>(best.y, best.x),
                          scores.at<double>(best.y + 1, best.x));
    if (peak) *peak = scores.at<double>(best.y, best.x);
    return shift;
}

}  // namespace mapcheck
