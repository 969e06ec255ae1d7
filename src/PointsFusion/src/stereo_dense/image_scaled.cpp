#include "stereo_dense/image_scaled.h"

#include "cluster/dbscan.h"
#include "fw/image_decoding.h"
#include "fw/log.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

namespace {

// Any decoded image as 8-bit BGR; empty when it cannot be converted.
cv::Mat toBgr8(const cv::Mat& decoded) {
    cv::Mat eight;
    switch (decoded.depth()) {
    case CV_8U:
        eight = decoded;
        break;
    case CV_16U:
        decoded.convertTo(eight, CV_8U, 1.0 / 257.0);
        break;
    default:
        decoded.convertTo(eight, CV_8U);  // saturating
        break;
    }
    cv::Mat bgr;
    switch (eight.channels()) {
    case 1:
        cv::cvtColor(eight, bgr, cv::COLOR_GRAY2BGR);
        break;
    case 3:
        bgr = eight;
        break;
    case 4:
        cv::cvtColor(eight, bgr, cv::COLOR_BGRA2BGR);
        break;
    default: {
        cv::Mat first;
        cv::extractChannel(eight, first, 0);
        cv::cvtColor(first, bgr, cv::COLOR_GRAY2BGR);
        break;
    }
    }
    return bgr;
}

}  // namespace

ImageScaled::ImageScaled() : camera(std::make_shared<fw::CameraImpl>()) {}

ImageScaled::~ImageScaled() {
    if (frame) frame->setImage(fw::GImage(), 0, 0);
}

void ImageScaled::loadImage() {
    if (!image.empty()) return;
    std::string path;
    if (frame) frame->call("GetImagePath", &path);
    cv::Mat decoded;
    std::string why;
    try {
        decoded = readImageFile(path, why);
        if (!decoded.empty()) decoded = toBgr8(decoded);
    } catch (const std::exception& e) {
        decoded.release();
        why = "Failed to load " + path + ": " + e.what();
    }
    if (decoded.empty()) {
        FW_LOG(Error) << "ImageScaled: Wrong Path! " << path;
        loadFailure = why.empty() ? decodeFailure(path, "") : why;
        return;
    }
    image = decoded;
}

bool ImageScaled::computeDepthRange(const std::shared_ptr<fw::MapFrame>& frame, const fw::SE3& rectification,
                                    double& dmin, double& dmax) {
    if (!frame) return false;
    fw::ObservationMap observations;
    frame->copyObservations(observations);
    const size_t n = observations.size();
    const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!camera) return false;

    std::vector<vec1d> values;
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -std::numeric_limits<double>::infinity();
    for (const auto& observation : observations) {
        if (observation.second > uint64_t(INT_MAX)) continue;
        const int index = int(observation.second);
        pt::Point2d inverseDepth;
        if (!frame->getKeyPointInverseDepth(index, inverseDepth)) continue;
        pt::Point2f pixel;
        if (!frame->getKeyPointPosition(index, pixel)) continue;
        const pt::Point3d ray = camera->unproject(pt::Point2d(pixel.x, pixel.y));
        const double scale = 1.0 / inverseDepth.x;
        const pt::Point3d p(ray.x * scale, ray.y * scale, ray.z * scale);
        const double z = (rectification * p).z;
        if (!std::isfinite(z)) continue;
        values.emplace_back(z);
        lowest = std::min(lowest, z);
        highest = std::max(highest, z);
    }
    if (values.empty()) return false;

    DBSCAN<vec1d> dbscan;
    dbscan.run(values, 1, (highest - lowest) / 50.0, uint32_t(std::min<size_t>(n / 50, UINT32_MAX)));
    if (!dbscan.clusters.empty()) {
        dmin = std::numeric_limits<double>::infinity();
        dmax = -std::numeric_limits<double>::infinity();
        for (const auto& group : dbscan.clusters)
            for (uint32_t i : group) {
                dmin = std::min(dmin, values[i].x);
                dmax = std::max(dmax, values[i].x);
            }
        return true;
    }
    FW_LOG(Info) << "No cluster detected, tackling by sorting depth";
    std::vector<double> sorted;
    sorted.reserve(values.size());
    for (const vec1d& v : values) sorted.push_back(v.x);
    std::sort(sorted.begin(), sorted.end());
    const size_t m = sorted.size();
    const size_t i = size_t(double(m) * 0.02);
    const size_t j = size_t(double(m) * 0.98);
    FW_LOG(Info) << "min_num = " << i << "   max_num = " << j;
    dmin = sorted[i];
    dmax = sorted[j];
    return true;
}
