#include "sfm/front_end.h"

#include "fw/camera.h"
#include "zel/event_names.h"
#include "fw/dense_map_frame.h"
#include "fw/geodetic.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_point.h"
#include "fw/messenger.h"
#include "sfm/gimbal_pose.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace sfm {

struct FrontEnd::Located {
    std::shared_ptr<::MapFrame> frame;        // what is handed on
    std::shared_ptr<fw::CameraImpl> camera;   // the frame's own camera
    PinholeView view;                         // empty grey without pixels
    std::vector<fw::KeyPoint> keyPoints;      // in the frame's own pixels
    std::vector<std::shared_ptr<fw::MapPoint>> points;

    // A pixel of the grey copy in the frame's own (distorted) pixels.
    fw::KeyPoint keyPointOf(const cv::Point2d& p) const {
        const cv::Vec3d ray = view.K.inv() * cv::Vec3d(p.x, p.y, 1.0);
        const pt::Point2d pixel = camera->project({ray[0] / ray[2], ray[1] / ray[2], 1.0});
        fw::KeyPoint k;
        k.x = static_cast<float>(pixel.x);
        k.y = static_cast<float>(pixel.y);
        k.size = 7.0f;
        return k;
    }
};

namespace {

// An 8-bit grey copy of an image of 1, 3 or 4 channels (8 or 16 bits); empty otherwise.
cv::Mat greyOf(const cv::Mat& image) {
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
        grey = eight.clone();
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

}  // namespace

FrontEnd::FrontEnd(bool live, zel::Chain* owner) : zel::Node("FrontEnd", owner), owner_(owner), live_(live) {
    setProgressRecord(ProgressNode("Locate", 0.0, 1.0, 1.0f, -1.0));
}

FrontEnd::~FrontEnd() = default;

void FrontEnd::setFrameCount(int32_t count) { frameCount_ = count; }

bool FrontEnd::trackFrame(const std::shared_ptr<fw::MapFrame>& frame) {
    if (!frame) return false;
    std::unique_ptr<Located> current = locate(frame);
    if (current) {
        if (previous_) {
            pair(*previous_, *current);
            publish(std::move(previous_));
        }
        previous_ = std::move(current);
    }
    ++tracked_;
    advanceProgress();
    return previous_ != nullptr;
}

void FrontEnd::finish() {
    if (previous_) publish(std::move(previous_));
    if (!live_ && !located_.empty()) {
        auto map = std::make_shared<fw::Map>();
        for (const auto& frame : located_) map->addFrame(frame);
        located_.clear();
        if (owner_) owner_->handle(zel::events::kMapLocated, map);
    }
}

std::unique_ptr<FrontEnd::Located> FrontEnd::locate(const std::shared_ptr<fw::MapFrame>& frame) {
    pt::Point3d lonLatAlt, pitchYawRoll;
    if (!frame->getGPSLLA(lonLatAlt)) {
        FW_LOG(Error) << "Frame " << frame->id << " is not located: it has no usable GPS position.";
        return nullptr;
    }
    if (!frame->getAttitude(pitchYawRoll)) {
        FW_LOG(Error) << "Frame " << frame->id << " is not located: it has no usable attitude.";
        return nullptr;
    }
    std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!camera || !camera->isValid()) {
        FW_LOG(Error) << "Frame " << frame->id << " is not located: it has no valid camera.";
        return nullptr;
    }

    auto located = std::make_unique<Located>();
    located->camera = camera;
    const pt::Point3d centre = fw::geodeticToECEF(lonLatAlt.y, lonLatAlt.x, lonLatAlt.z);
    located->view.centre = cv::Vec3d(centre.x, centre.y, centre.z);
    located->view.R = cameraToEcef(lonLatAlt.y, lonLatAlt.x, pitchYawRoll.x, pitchYawRoll.y, pitchYawRoll.z);

    std::string path;
    frame->call("GetImagePath", &path);
    std::vector<double> gps;
    frame->call("GetGPS", &gps);
    located->frame = std::make_shared<::MapFrame>(frame->id, frame->timestamp, fw::GImage(), path, camera, gps, 1);
    fw::SO3 rotation;
    rotation.fromMatrix(located->view.R.val);
    located->frame->setPose(fw::SE3(rotation, centre));
    located->frame->label = frame->label;

    // The grey copy: scaled down, without lens distortion.
    const fw::Intrinsics k = camera->intrinsics();
    const cv::Mat grey = greyOf(frame->getImage(0, 0));
    if (grey.empty() || !k.hasPinhole) {
        FW_LOG(Warning) << "Frame " << frame->id << " has no image to match: it gets no sparse points.";
        return located;
    }
    const double scale = std::min(1.0, static_cast<double>(kProcessingWidth) / grey.cols);
    const cv::Size size(std::max(1, static_cast<int>(std::lround(grey.cols * scale))),
                        std::max(1, static_cast<int>(std::lround(grey.rows * scale))));
    cv::Mat small;
    cv::resize(grey, small, size, 0, 0, scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const double sx = size.width / k.width, sy = size.height / k.height;
    located->view.K = cv::Matx33d(k.fx * sx, 0, k.cx * sx, 0, k.fy * sy, k.cy * sy, 0, 0, 1);
    // OpenCV's five terms are what cv::undistort takes.
    if (k.distortion.size() == 5 && k.distorted()) {
        const cv::Mat K(located->view.K);
        cv::undistort(small, located->view.grey, K, cv::Mat(k.distortion, true).reshape(1, 1), K);
    } else {
        located->view.grey = small;
    }
    return located;
}

void FrontEnd::pair(Located& first, Located& second) {
    if (first.view.grey.empty() || second.view.grey.empty()) return;
    const std::vector<PairPoint> points = matchPair(first.view, second.view);
    for (const PairPoint& p : points) {
        auto point = std::make_shared<fw::MapPoint>(nextPointId_++, pt::Point3d(p.world[0], p.world[1], p.world[2]));
        first.keyPoints.push_back(first.keyPointOf(p.a));
        first.points.push_back(point);
        second.keyPoints.push_back(second.keyPointOf(p.b));
        second.points.push_back(point);
    }
    first.view.grey.release();  // its pairs are all made
}

void FrontEnd::publish(std::unique_ptr<Located> located) {
    const std::shared_ptr<::MapFrame>& frame = located->frame;
    frame->setKeyPoints(located->keyPoints, fw::GImage());
    for (size_t i = 0; i < located->points.size(); ++i) frame->addObservation(located->points[i], i, true);
    if (live_) {
        if (owner_) owner_->handle(zel::events::kFrameLocated, frame);
    } else {
        located_.push_back(frame);
    }
}

void FrontEnd::advanceProgress() {
    const int32_t total = frameCount_ > 0 ? std::max(frameCount_, tracked_) : tracked_;
    setProgress(tracked_, total);
}

}  // namespace sfm

std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* owner, void* messenger,
                                            void* logSinks) {
    if (messenger && logSinks)
        fw::setGlobalServices(static_cast<fw::Messenger*>(messenger),
                              *static_cast<std::shared_ptr<fw::LogSinkSet>*>(logSinks));
    const nlohmann::json parsed = nlohmann::json::parse(config, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        FW_LOG(Error) << "Front end configuration is not a JSON object: " << config;
        return nullptr;
    }
    auto live = parsed.find("live");
    return std::make_shared<sfm::FrontEnd>(live != parsed.end() && live->is_boolean() && live->get<bool>(), owner);
}
