#pragma once
// SIFT keypoints and descriptors of a frame, found on a grey copy of about
// one megapixel and given in the frame's own pixels.

#include "fw/camera.h"

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace cv {
namespace flann {
class Index;
}
}  // namespace cv

namespace sfm {

struct FeatureSettings {
    double processingPixels = 1.0e6;  // the copy is scaled down to about this many pixels
    // Keypoints kept per megapixel of the frame's own image, within the
    // bounds: a large frame's copy is scaled down the most and its
    // textures (tree canopy, lawn) need the most keypoints to be matched.
    double featuresPerMegapixel = 900.0;
    int minFeatures = 2000;
    int maxFeatures = 8000;
    // SIFT's contrast threshold: low, for the faint texture of lawn and water.
    double contrastThreshold = 0.01;
    // Keypoints are spread over a grid of this many cells across.
    int gridCells = 16;
};

struct ImageFeatures {
    cv::Size imageSize;              // the frame's own image
    double scale = 1.0;              // processing copy / own pixels
    std::vector<cv::Point2f> pixels; // in the frame's own (distorted) pixels
    std::vector<cv::Point2f> rays;   // the same, undistorted, on the plane z = 1
    std::vector<float> sizes;        // in own pixels
    cv::Mat descriptors;             // CV_32F, one row per keypoint
    // Nearest-neighbour search over the descriptors, built on first use.
    mutable std::shared_ptr<cv::flann::Index> index;

    size_t size() const { return pixels.size(); }
    bool empty() const { return pixels.empty(); }
};

// An 8-bit grey copy of an image of 1, 3 or 4 channels (8 or 16 bits); empty otherwise.
cv::Mat greyImage(const cv::Mat& image);

// Keypoints of an image taken with the camera; empty when the image is
// empty, of an unknown type, or without texture.
ImageFeatures detectFeatures(const cv::Mat& image, const fw::Intrinsics& camera,
                             const FeatureSettings& settings = FeatureSettings());

}  // namespace sfm
