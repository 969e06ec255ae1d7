#pragma once
// One located frame on its way through the dense pipeline: the decoded image,
// the rectified camera, image and pose, the depth map and the consistency
// counts. Shared by pointer; written by one pair-depth task (the one that
// computes its depth) and only read by the others and, once its future is
// ready, by the later stages.

#include "fw/camera.h"
#include "fw/map_frame.h"
#include "fw/pose.h"

#include <opencv2/core/mat.hpp>

#include <memory>
#include <string>
#include <vector>

class ImageScaled {
public:
    ImageScaled();
    // Releases the frame's pixels first (the frame itself lives on with its other owners).
    ~ImageScaled();
    ImageScaled(const ImageScaled&) = delete;
    ImageScaled& operator=(const ImageScaled&) = delete;

    // Reads and decodes the frame's image file when no image is held yet, as
    // 8-bit BGR whatever the stored depth and channels, with the loader's
    // checks (regular files only, the pixel cap, a JPEG cut short refused).
    // Any failure leaves the image empty, the ERROR line "ImageScaled: Wrong
    // Path! <path>" and the loader's reason in loadFailure.
    void loadImage();

    // Depth interval of the frame's sparse points along the axes of the
    // rectified camera (rectification turns the frame's camera into it):
    // the extent of the densest cluster(s) of the depths, else the 2 % and
    // 98 % depths. False when no observed point has a depth.
    static bool computeDepthRange(const std::shared_ptr<fw::MapFrame>& frame, const fw::SE3& rectification,
                                  double& dmin, double& dmax);

    std::shared_ptr<fw::MapFrame> frame;
    fw::SE3 pose;            // camera to world of the rectified camera
    cv::Mat image;           // full resolution, 8-bit BGR
    std::string loadFailure; // why loadImage left the image empty
    cv::Mat validMask;       // scratch of the pair-depth computation
    cv::Mat rectified;       // rectified image at the processing size
    double K[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // rectified camera matrix, row-major
    cv::Mat depth;           // CV_32F along the rectified axis, 0 = none
    cv::Mat consistency;     // CV_8U count of confirming views
    std::shared_ptr<fw::CameraImpl> camera;
    float minDepth = 0.0f;
    float maxDepth = 0.0f;
};
