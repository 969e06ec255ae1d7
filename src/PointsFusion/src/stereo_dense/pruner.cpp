#include "stereo_dense/pruner.h"

#include "fw/log.h"
#include "fw/settings.h"
#include "pt/point.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <vector>

Pruner::Pruner(Sink terrain, Sink pointCloud) : terrain_(std::move(terrain)), pointCloud_(std::move(pointCloud)) {
    subscriber_ = fw::Messenger::instance().subscribe("sbt.cleaned_frames", 0, &Pruner::onCleanedFrames, this);
}

Pruner::~Pruner() { subscriber_.shutdown(); }

void Pruner::onCleanedFrames(const std::shared_ptr<ImageScaled>& record) { process(record); }

int Pruner::defaultStep(int rows, int cols) { return std::max(1, std::max(rows, cols) / 700); }

cv::Mat Pruner::samplingMask(const cv::Mat& bgr, int step) {
    if (step < 1) step = 1;
    cv::Mat gray, lap;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 0, 1, 0, 1, -4, 1, 0, 1, 0);
    cv::filter2D(gray, lap, CV_8U, kernel, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101);
    cv::Mat mask(gray.size(), CV_8UC1, cv::Scalar(0));
    for (int r = 0; r < lap.rows; ++r) {
        const uint8_t* l = lap.ptr<uint8_t>(r);
        uint8_t* m = mask.ptr<uint8_t>(r);
        const bool gridRow = r % step == 0;
        for (int c = 0; c < lap.cols; ++c) m[c] = (l[c] > 50 || (gridRow && c % step == 0)) ? 1 : 0;
    }
    return mask;
}

void Pruner::process(const std::shared_ptr<ImageScaled>& record) {
    if (!record) return;
    const auto start = std::chrono::steady_clock::now();
    std::vector<pt::Point3_<double>> world;
    std::vector<pt::Point3_<float>> points;
    std::vector<pt::Point3_<unsigned char>> colours;
    size_t counter = 0;

    const cv::Mat& depth = record->depth;
    const cv::Mat& count = record->consistency;
    const cv::Mat& image = record->rectified;
    const bool usable = !depth.empty() && depth.type() == CV_32FC1 && count.type() == CV_8UC1 &&
                        count.size() == depth.size() && image.type() == CV_8UC3 && image.size() == depth.size() &&
                        record->K[0] != 0.0 && record->K[4] != 0.0;
    if (usable) {
        int& configured = fw::Settings::instance().GetInt("pointsfusion.resample_step",
                                                          defaultStep(depth.rows, depth.cols));
        const cv::Mat mask = samplingMask(image, configured < 1 ? 1 : configured);
        const fw::SE3 current = record->frame ? record->frame->getPose() : record->pose;
        const fw::SE3 toFrame = current.inverse();
        const float fx = float(record->K[0]), fy = float(record->K[4]);
        const float cx = float(record->K[2]), cy = float(record->K[5]);
        const size_t pixels = size_t(depth.rows) * size_t(depth.cols);
        if (terrain_) world.reserve(pixels);
        points.reserve(pixels);
        colours.reserve(pixels);
        for (int r = 0; r < depth.rows; ++r) {
            const float* d = depth.ptr<float>(r);
            const uint8_t* n = count.ptr<uint8_t>(r);
            const uint8_t* m = mask.ptr<uint8_t>(r);
            const cv::Vec3b* bgr = image.ptr<cv::Vec3b>(r);
            for (int c = 0; c < depth.cols; ++c) {
                if (!(d[c] > 0.001f)) continue;
                const float x = (float(c) - cx) / fx * d[c];
                const float y = (float(r) - cy) / fy * d[c];
                const pt::Point3d W = record->pose * pt::Point3d(double(x), double(y), double(d[c]));
                const bool inTerrain = n[c] != 1;
                if (terrain_ && inTerrain) {
                    world.push_back(W);
                    ++counter;
                }
                if (n[c] >= 2 && m[c] == 1) {
                    const pt::Point3d p = toFrame * W;
                    points.emplace_back(float(p.x), float(p.y), float(p.z));
                    colours.emplace_back(bgr[c][2], bgr[c][1], bgr[c][0]);
                    if (!terrain_) ++counter;
                }
            }
        }
    }

    // A frame that gives neither sink a point reaches no map.
    if (record->frame && points.empty() && world.empty())
        FW_LOG(Warning) << "Frame " << record->frame->id << " left out of the maps: "
                        << (usable ? "none of its depths is confirmed by another view" : "its depth map cannot be used");
    const dv::Var frame = record->frame ? dv::Var(record->frame) : dv::Var();
    if (terrain_) {
        dv::Var message(std::vector<dv::Var>{frame, dv::Var(std::move(world))});
        terrain_(message);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    FW_LOG(Info) << "Frame (" << (record->frame ? record->frame->id : 0) << "):: Node:PF, Stage:Prune, Points:"
                 << points.size() << "/" << counter << ", Time:" << seconds << "s";
    if (pointCloud_) {
        dv::Var message(std::vector<dv::Var>{frame, dv::Var(std::move(points)), dv::Var(std::move(colours))});
        pointCloud_(message);
    }
}
