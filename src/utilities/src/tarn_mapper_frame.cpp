#include "dataset/tarn_mapper_frame.h"

#include "fw/camera.h"
#include "fw/geodetic.h"
#include "fw/gps_layout.h"

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

namespace {

// The record's own 14-value layout accepts an attitude whose pitch deviation
// is not 0; the 11 and 12 value layouts one whose deviation is below 20.
bool attitudeAccepted(const fw::GpsLayout& layout, const std::vector<double>& gps) {
    const double sigma = gps[static_cast<size_t>(layout.attitudeSigma)];
    return layout.length == 14 ? sigma != 0.0 : sigma < 20.0;
}

}  // namespace

int TarnMapperFrame::attitudeCount() {
    const fw::GpsLayout* layout = fw::gpsLayout(gps_.size());
    return layout && layout->attitude >= 0 ? 1 : 0;
}

bool TarnMapperFrame::getAttitude(pt::Point3d& out) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps_.size());
    if (!layout || layout->attitude < 0) return false;
    fw::gpsTriple(gps_, layout->attitude, out);
    return attitudeAccepted(*layout, gps_);
}

bool TarnMapperFrame::getAttitudeSigma(pt::Point3d& out) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps_.size());
    if (!layout || layout->attitude < 0) return false;
    fw::gpsTriple(gps_, layout->attitudeSigma, out);
    return attitudeAccepted(*layout, gps_);
}

int TarnMapperFrame::gpsCount() {
    return gps_.size() >= fw::kGpsPositionLength && gps_[fw::kGpsPositionSigma] < 10.0 ? 1 : 0;
}

bool TarnMapperFrame::getGPSLLA(pt::Point3d& out) {
    if (gpsCount() == 0) return false;
    return fw::gpsTriple(gps_, fw::kGpsPosition, out);
}

bool TarnMapperFrame::getGPSLLASigma(pt::Point3d& out) {
    if (gps_.size() < fw::kGpsPositionLength) return false;
    return fw::gpsTriple(gps_, fw::kGpsPositionSigma, out);
}

bool TarnMapperFrame::getGPSECEF(pt::Point3d& out) {
    pt::Point3d lla;
    if (!getGPSLLA(lla)) return false;
    out = fw::geodeticToECEF(lla.y, lla.x, lla.z);
    return true;
}

bool TarnMapperFrame::getRelativeAltitude(pt::Point2d& out) {
    const fw::GpsLayout* layout = fw::gpsLayout(gps_.size());
    if (!layout || layout->relativeAltitude < 0) return false;
    const size_t at = static_cast<size_t>(layout->relativeAltitude);
    out = {gps_[at], gps_[at + 1]};
    return gps_[at + 1] < 100.0;
}
