#include "dataset/tarn_mapper_frame.h"

#include "fw/camera.h"
#include "fw/geodetic.h"

#include <utility>

TarnMapperFrame::TarnMapperFrame(uint64_t id, std::string imagePath, double timestamp, std::vector<double> gps,
                                 std::vector<double> cameraParameters)
    : fw::MapFrame(id, timestamp), imagePath_(std::move(imagePath)), camera_(fw::CameraImpl::create(cameraParameters)),
      gps_(std::move(gps)) {}

TarnMapperFrame::~TarnMapperFrame() = default;

std::string TarnMapperFrame::type() const { return "Frame"; }

void TarnMapperFrame::call(const std::string& command, void* arg) {
    if (command == "GetImagePath") {
        auto* out = static_cast<std::string*>(arg);
        if (out && out != &imagePath_) *out = imagePath_;
    } else if (command == "ReleaseImage") {
        std::lock_guard<std::mutex> lock(mutex);
        image_ = fw::GImage();
    } else if (command == "GetGPS") {
        auto* out = static_cast<std::vector<double>*>(arg);
        if (out && out != &gps_ && !gps_.empty()) *out = gps_;
    }
}

int TarnMapperFrame::cameraCount() { return 1; }

std::shared_ptr<fw::CameraImpl> TarnMapperFrame::getCamera(int) {
    std::lock_guard<std::mutex> lock(mutex);
    return camera_;
}

void TarnMapperFrame::setCamera(std::shared_ptr<fw::CameraImpl> camera) {
    std::lock_guard<std::mutex> lock(mutex);
    camera_ = std::move(camera);
}

fw::GImage TarnMapperFrame::getImage(int, int) {
    std::lock_guard<std::mutex> lock(mutex);
    return image_;
}

bool TarnMapperFrame::setImage(const fw::GImage& img, int idx, int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (idx == 0)
        image_ = img;
    else
        secondImage_ = img;
    return true;
}

int TarnMapperFrame::attitudeCount() {
    const size_t n = gps_.size();
    return n == 11 || n == 12 || n == 14 ? 1 : 0;
}

bool TarnMapperFrame::getAttitude(pt::Point3d& out) {
    const std::vector<double>& v = gps_;
    switch (v.size()) {
    case 11:
        out = {v[5], v[6], v[7]};
        return v[8] < 20.0;
    case 12:
        out = {v[6], v[7], v[8]};
        return v[9] < 20.0;
    case 14:
        out = {v[8], v[9], v[10]};
        return v[11] != 0.0;
    default:
        return false;
    }
}

bool TarnMapperFrame::getAttitudeSigma(pt::Point3d& out) {
    const std::vector<double>& v = gps_;
    switch (v.size()) {
    case 11:
        out = {v[8], v[9], v[10]};
        return v[8] < 20.0;
    case 12:
        out = {v[9], v[10], v[11]};
        return v[9] < 20.0;
    case 14:
        out = {v[11], v[12], v[13]};
        return v[11] != 0.0;
    default:
        return false;
    }
}

int TarnMapperFrame::gpsCount() { return gps_.size() >= 6 && gps_[3] < 10.0 ? 1 : 0; }

bool TarnMapperFrame::getGPSLLA(pt::Point3d& out) {
    if (gpsCount() == 0) return false;
    out = {gps_[0], gps_[1], gps_[2]};
    return true;
}

bool TarnMapperFrame::getGPSLLASigma(pt::Point3d& out) {
    if (gps_.size() < 6) return false;
    out = {gps_[3], gps_[4], gps_[5]};
    return true;
}

bool TarnMapperFrame::getGPSECEF(pt::Point3d& out) {
    pt::Point3d lla;
    if (!getGPSLLA(lla)) return false;
    out = fw::geodeticToECEF(lla.y, lla.x, lla.z);
    return true;
}

bool TarnMapperFrame::getRelativeAltitude(pt::Point2d& out) {
    if (gps_.size() != 8 && gps_.size() != 14) return false;
    out = {gps_[6], gps_[7]};
    return gps_[7] < 100.0;
}
