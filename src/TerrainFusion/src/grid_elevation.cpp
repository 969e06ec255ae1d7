#include "terrain/grid_elevation.h"

#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

void fillHolesGaussian(cv::Mat& elevation, cv::Mat& cellWeight, int kernelSize, float sigma,
                       const std::vector<std::pair<int32_t, int32_t>>& cells) {
    const int half = kernelSize / 2;
    std::vector<float> kernel(static_cast<size_t>(kernelSize) * kernelSize);
    float sum = 0.0f;
    for (int dy = -half, i = 0; dy < kernelSize - half; ++dy) {
        for (int dx = -half; dx < kernelSize - half; ++dx, ++i) {
            kernel[i] = std::exp(-(dx * dx + dy * dy) / (2.0f * sigma * sigma)) /
                        (2.0f * static_cast<float>(M_PI) * sigma * sigma);
            sum += kernel[i];
        }
    }
    for (float& k : kernel) k /= sum;
    cv::Mat padded;
    cv::copyMakeBorder(elevation, padded, half, half, half, half, cv::BORDER_CONSTANT, cv::Scalar(kNoElevation));
    for (const auto& cell : cells) {
        const int c = cell.first, r = cell.second;
        float weighted = 0.0f, weights = 0.0f;
        int count = 0;
        for (int ky = 0; ky < kernelSize; ++ky) {
            const float* row = padded.ptr<float>(r + ky);
            for (int kx = 0; kx < kernelSize; ++kx) {
                const float v = row[c + kx];
                if (v < kEmptyBelow) continue;
                const float w = kernel[static_cast<size_t>(ky) * kernelSize + kx];
                weighted += w * v;
                weights += w;
                ++count;
            }
        }
        elevation.at<float>(r, c) = count != 0 ? weighted / weights : kNoElevation;
        cellWeight.at<float>(r, c) *= 0.5f;
    }
}

std::vector<fw::GImage> gridElevation(const fw::GImage& points, double originX, double originY, int32_t columns,
                                      int32_t rows, const dv::Var& params) {
    dv::Var p = params;
    const double gsd = p.get<double>("gsd", 0.0);
    const double gsdLat = p.get<double>("gsd_lat", 0.0);
    (void)p.get<int>("neighbors", 5);
    (void)p.get<int>("search_radius", 100);

    cv::Mat elevation(std::max(rows, 0), std::max(columns, 0), CV_32F, cv::Scalar(kNoElevation));
    cv::Mat cellWeight(elevation.size(), CV_32F, cv::Scalar(1.0f));
    if (elevation.empty() || !(gsd > 0.0) || !(gsdLat > 0.0)) return {fw::GImage(elevation), fw::GImage(cellWeight)};

    const cv::Mat cloud = points;
    for (int i = 0; i < cloud.rows; ++i) {
        const cv::Vec3f& q = cloud.at<cv::Vec3f>(i, 0);
        const double fc = (q[0] - originX) / gsd;
        const double fr = (originY - q[1]) / gsdLat;
        if (!(fc > -1.0 && fc < columns) || !(fr > -1.0 && fr < rows)) continue;
        const int c = static_cast<int>(fc), r = static_cast<int>(fr);
        float& cell = elevation.at<float>(r, c);
        if (q[2] > cell) cell = q[2];
    }

    const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    cv::dilate(elevation, elevation, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
               cv::morphologyDefaultBorderValue());
    cv::erode(elevation, elevation, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());

    // Empty area 4-connected to cell (1, 1).
    cv::Mat outside(elevation.size(), CV_8U, cv::Scalar(0));
    if (columns > 1 && rows > 1) {
        cv::Mat queued(elevation.size(), CV_8U, cv::Scalar(0));
        std::vector<std::pair<int, int>> stack{{1, 1}};
        queued.at<uint8_t>(1, 1) = 255;
        while (!stack.empty()) {
            const auto [c, r] = stack.back();
            stack.pop_back();
            if (elevation.at<float>(r, c) > kEmptyBelow) continue;
            outside.at<uint8_t>(r, c) = 255;
            if (c == 0 || r == 0 || c == columns - 1 || r == rows - 1) continue;
            const std::pair<int, int> next[4] = {{c - 1, r}, {c + 1, r}, {c, r - 1}, {c, r + 1}};
            for (const auto& [nc, nr] : next) {
                if (outside.at<uint8_t>(nr, nc) != 0 || queued.at<uint8_t>(nr, nc) != 0) continue;
                queued.at<uint8_t>(nr, nc) = 255;
                stack.emplace_back(nc, nr);
            }
        }
    }
    cv::erode(outside, outside, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());

    std::vector<std::pair<int32_t, int32_t>> holes;
    for (int r = 0; r < rows; ++r) {
        const float* row = elevation.ptr<float>(r);
        const uint8_t* mask = outside.ptr<uint8_t>(r);
        for (int c = 0; c < columns; ++c) {
            if (mask[c] == 0 && row[c] < kEmptyBelow) holes.emplace_back(c, r);
        }
    }
    for (int pass = 0; pass < 5 && !holes.empty(); ++pass) {
        fillHolesGaussian(elevation, cellWeight, 3, 5.0f, holes);
        std::vector<std::pair<int32_t, int32_t>> left;
        for (const auto& cell : holes) {
            if (elevation.at<float>(cell.second, cell.first) < kEmptyBelow) left.push_back(cell);
        }
        holes.swap(left);
    }
    return {fw::GImage(elevation), fw::GImage(cellWeight)};
}
