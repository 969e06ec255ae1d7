#include "sfm/image_features.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace sfm {
namespace {

constexpr double kSiftOffset = 0.25;
// Largest keypoint kept, in processing pixels.
constexpr float kMaxKeyPointSize = 12.0f;

// At most wanted keypoints, the strongest of each grid cell first: cells
// take turns, each giving its next strongest, until enough are kept.
std::vector<cv::KeyPoint> spreadOver(std::vector<cv::KeyPoint>& keyPoints, const cv::Size& size, size_t wanted, int cells) {
    if (keyPoints.size() <= wanted) return keyPoints;
    std::sort(keyPoints.begin(), keyPoints.end(), [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.response > b.response; });
    const int across = std::max(1, cells);
    const int down = std::max(1, static_cast<int>(std::lround(across * static_cast<double>(size.height) / std::max(1, size.width))));
    std::vector<std::vector<size_t>> byCell(static_cast<size_t>(across * down));
    for (size_t k = 0; k < keyPoints.size(); ++k) {
        const int cx = std::clamp(static_cast<int>(keyPoints[k].pt.x * across / size.width), 0, across - 1);
        const int cy = std::clamp(static_cast<int>(keyPoints[k].pt.y * down / size.height), 0, down - 1);
        byCell[static_cast<size_t>(cy * across + cx)].push_back(k);
    }
    // The number each cell gives: the level that fills the wanted count.
    std::vector<size_t> counts;
    for (const auto& c : byCell) counts.push_back(c.size());
    std::sort(counts.begin(), counts.end());
    size_t level = 0, taken = 0, remaining = counts.size();
    for (size_t n : counts) {
        const size_t need = (wanted - taken + remaining - 1) / remaining;
        if (n >= need) {
            level = need;
            break;
        }
        taken += n;
        --remaining;
        level = n;
    }
    std::vector<cv::KeyPoint> kept;
    for (const auto& c : byCell)
        for (size_t i = 0; i < std::min(level, c.size()); ++i) kept.push_back(keyPoints[c[i]]);
    std::sort(kept.begin(), kept.end(), [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.response > b.response; });
    if (kept.size() > wanted) kept.resize(wanted);
    return kept;
}

}  // namespace

cv::Mat greyImage(const cv::Mat& image) {
    if (image.empty()) return cv::Mat();
    cv::Mat eight;
    if (image.depth() == CV_8U)
        eight = image;
    else if (image.depth() == CV_16U)
        image.convertTo(eight, CV_8U, 1.0 / 256.0);
    else
        return cv::Mat();
    cv::Mat grey;
    switch (eight.channels()) {
    case 1:
        grey = eight;
        break;
    case 3:
        cv::cvtColor(eight, grey, cv::COLOR_BGR2GRAY);
        break;
    case 4:
        cv::cvtColor(eight, grey, cv::COLOR_BGRA2GRAY);
        break;
    default:
        break;
    }
    return grey;
}

ImageFeatures detectFeatures(const cv::Mat& image, const fw::Intrinsics& camera, const FeatureSettings& settings) {
    ImageFeatures out;
    const cv::Mat grey = greyImage(image);
    if (grey.empty() || !camera.hasPinhole || camera.width <= 0 || camera.height <= 0) return out;
    out.imageSize = grey.size();
    const double area = static_cast<double>(grey.cols) * grey.rows;
    const double scale = std::min(1.0, std::sqrt(settings.processingPixels / area));
    cv::Mat small = grey;
    if (scale < 1.0) {
        const cv::Size size(std::max(1, static_cast<int>(std::lround(grey.cols * scale))),
                            std::max(1, static_cast<int>(std::lround(grey.rows * scale))));
        cv::resize(grey, small, size, 0, 0, cv::INTER_AREA);
    }
    // Processing pixels -> the camera's pixels (the camera may be calibrated
    // for another size than the decoded image).
    const double sx = camera.width / small.cols, sy = camera.height / small.rows;
    out.scale = 1.0 / std::sqrt(sx * sy);

    std::vector<cv::KeyPoint> keyPoints;
    cv::Mat descriptors;
    const int wanted = std::clamp(static_cast<int>(settings.featuresPerMegapixel * area / 1.0e6),
                                  settings.minFeatures, std::max(settings.minFeatures, settings.maxFeatures));
    // A low contrast threshold finds the faint texture of lawn and water;
    // the strongest keypoints of each cell of a grid are then kept, so
    // that they cover the picture rather than its busiest part.
    cv::Ptr<cv::SIFT> sift = cv::SIFT::create(0, 3, settings.contrastThreshold);
    sift->detect(small, keyPoints);
    // Blobs of the coarse octaves are placed a pixel or two off: a match of
    // two such points puts its point a per cent off in depth.
    keyPoints.erase(std::remove_if(keyPoints.begin(), keyPoints.end(),
                                   [](const cv::KeyPoint& k) { return k.size > kMaxKeyPointSize; }),
                    keyPoints.end());
    keyPoints = spreadOver(keyPoints, small.size(), static_cast<size_t>(wanted), settings.gridCells);
    if (keyPoints.empty()) return out;
    sift->compute(small, keyPoints, descriptors);
    if (keyPoints.empty()) return out;

    out.pixels.reserve(keyPoints.size());
    for (const cv::KeyPoint& k : keyPoints) {
        // OpenCV 4.6's SIFT halves the coordinates of its doubled first
        // octave without the half-pixel shift of the doubling: its points
        // lie a quarter pixel down and right of where they are.
        const double x = k.pt.x - kSiftOffset, y = k.pt.y - kSiftOffset;
        out.pixels.emplace_back(static_cast<float>((x + 0.5) * sx - 0.5), static_cast<float>((y + 0.5) * sy - 0.5));
        out.sizes.push_back(static_cast<float>(k.size * sx));
    }
    out.descriptors = descriptors;
    const cv::Matx33d K(camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1);
    std::vector<double> distortion(5, 0.0);
    for (size_t i = 0; i < std::min<size_t>(5, camera.distortion.size()); ++i) distortion[i] = camera.distortion[i];
    if (camera.distortion.size() == 5 && camera.distorted()) {
        cv::undistortPoints(out.pixels, out.rays, cv::Mat(K), distortion);
    } else {
        out.rays.reserve(out.pixels.size());
        for (const cv::Point2f& p : out.pixels)
            out.rays.emplace_back(static_cast<float>((p.x - camera.cx) / camera.fx), static_cast<float>((p.y - camera.cy) / camera.fy));
    }
    return out;
}

}  // namespace sfm
