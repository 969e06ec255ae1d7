#pragma once
// Turns a cleaned depth frame into points: world points of every measured
// pixel that the cleaner did not leave unconfirmed (for the terrain fusion),
// and coloured frame-relative points of the confirmed pixels on edges,
// texture or the sampling grid (for the point-cloud writer).
//
// Threads: process runs on the thread that publishes "sbt.cleaned_frames"
// (the cleaner's worker, or the thread that destroys the cleaner), so frames
// are pruned one at a time and reach the sinks in publication order.

#include "dv/var.h"
#include "fw/messenger.h"
#include "stereo_dense/image_scaled.h"

#include <opencv2/core/mat.hpp>

#include <functional>
#include <memory>

class Pruner {
public:
    using Sink = std::function<void(dv::Var&)>;

    // terrain gets [frame, std::vector<pt::Point3_<double>>]; pointCloud gets
    // [frame, std::vector<pt::Point3_<float>>, std::vector<pt::Point3_<unsigned char>>].
    // Either may be empty.
    Pruner(Sink terrain, Sink pointCloud);
    ~Pruner();
    Pruner(const Pruner&) = delete;
    Pruner& operator=(const Pruner&) = delete;

    void onCleanedFrames(const std::shared_ptr<ImageScaled>& record);
    // Both sinks are called for every record, with empty sets when the record
    // has no usable depth map; a frame that gives neither a point is named by
    // the WARNING "Frame N left out of the maps: <why>".
    void process(const std::shared_ptr<ImageScaled>& record);

    // 1 where the Laplacian of the gray image exceeds 50 or both row and
    // column are multiples of step.
    static cv::Mat samplingMask(const cv::Mat& bgr, int step);
    // max(1, max(rows, cols) / 700).
    static int defaultStep(int rows, int cols);

private:
    Sink terrain_;
    Sink pointCloud_;
    fw::Subscriber subscriber_;
};
