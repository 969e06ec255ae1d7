#pragma once
// The maps of a synthetic survey against its ground truth: heights of DSM
// cells and points, and the truth's colour on a DOM mosaic's pixels.

#include "map_check/web_tiles.h"
#include "survey/survey_truth.h"

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace mapcheck {

// Statistics of signed errors; p95 is the 95th percentile of their size.
struct ErrorStats {
    size_t count = 0;
    double mean = 0.0, rmse = 0.0, p95 = 0.0;
};
ErrorStats summarise(std::vector<double> errors);

class SurveyComparison {
public:
    // Reads the truth folder; false with a reason when it cannot.
    bool load(const std::string& truthFolder, std::string& error);

    const survey::SurveyTruth& truth() const { return truth_; }
    // East, north, up in the truth's local frame of a WGS84 position.
    cv::Vec3d local(double latitude, double longitude, double height) const;
    // Metres from a local point to the nearest building edge (where the top
    // surface changes between ground and roof); 0 off the truth's grid.
    double edgeDistance(double east, double north) const;
    // The given quantile of the slope (rise over run) of the top surface over
    // ground and roofs at least minEdgeDistance from building edges.
    double slope(double quantile, double minEdgeDistance) const;

    // DSM cell height minus true height, for cells at least minEdgeDistance
    // from building edges.
    std::vector<double> heightErrors(const std::vector<DsmCell>& cells, double minEdgeDistance) const;
    // Height minus true height of earth-centred points, on the same ground.
    std::vector<double> pointErrors(const std::vector<cv::Vec3d>& ecef, double minEdgeDistance) const;

    // The true colour (BGR) of every pixel of a mosaic, averaged over 4 x 4
    // samples of its square, and a mask of the pixels whose centre lies at
    // least minEdgeDistance from building edges.
    cv::Mat trueColour(const DomMosaic& mosaic) const;
    cv::Mat awayFromEdges(const DomMosaic& mosaic, double minEdgeDistance) const;

private:
    survey::SurveyTruth truth_;
    cv::Mat edgeDistance_;  // metres, on the truth's grid
};

// Shift (dx, dy) in pixels that best aligns b to a: b(p + shift) matches
// a(p), by normalised cross-correlation (OpenCV's template matching) of b's
// pixels where mask is set with a, over shifts up to range pixels, refined to
// a fraction of a pixel. Both pictures are single-channel float of one size;
// peak receives the correlation at the best shift.
cv::Point2d bestShift(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, int range, double* peak = nullptr);

}  // namespace mapcheck
