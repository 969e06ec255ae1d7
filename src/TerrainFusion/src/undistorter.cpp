#include "terrain/undistorter.h"

#include "fw/log.h"

#include <cmath>
#include <cstring>
#include <iostream>

#include <opencv2/core.hpp>

namespace fw {

namespace {

bool sameCamera(const CameraImpl& a, const CameraImpl& b) {
    return &a == &b || (a.typeName() == b.typeName() && a.width == b.width && a.height == b.height &&
                        a.parameterVector() == b.parameterVector());
}

}  // namespace

UndistorterImpl::UndistorterImpl(std::shared_ptr<CameraImpl> cameraIn, std::shared_ptr<CameraImpl> cameraOut)
    : cameraIn_(std::move(cameraIn)), cameraOut_(std::move(cameraOut)) {
    prepare();
}

void UndistorterImpl::prepare() {
    valid_ = false;
    identity_ = false;
    if (!cameraIn_ || !cameraOut_ || !cameraIn_->isValid() || !cameraOut_->isValid()) return;
    FW_LOG(Info) << "Undistorter:\n"
                 << "    Camera IN : " << cameraIn_->info() << "    Camera OUT: " << cameraOut_->info();
    if (sameCamera(*cameraIn_, *cameraOut_)) {
        identity_ = true;
        valid_ = true;
        return;
    }
    const int w = cameraOut_->width, h = cameraOut_->height;
    const int inW = cameraIn_->width, inH = cameraIn_->height;
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    sourceU_.assign(count, -1.0f);
    sourceV_.assign(count, -1.0f);
    nearest_.assign(count, -1);
    neighbours_.assign(count * 4, 0);
    weights_.assign(count * 4, 0.0f);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const size_t i = static_cast<size_t>(r) * w + c;
            const pt::Point3d ray = cameraOut_->unproject(pt::Point2d(c, r));
            const pt::Point2d uv = cameraIn_->project(ray);
            if (!(uv.x >= 0.0 && uv.x < inW && uv.y >= 0.0 && uv.y < inH)) continue;
            const int iu = static_cast<int>(uv.x), iv = static_cast<int>(uv.y);
            const float fu = static_cast<float>(uv.x - iu), fv = static_cast<float>(uv.y - iv);
            sourceU_[i] = static_cast<float>(uv.x);
            sourceV_[i] = static_cast<float>(uv.y);
            nearest_[i] = iv * inW + iu;
            neighbours_[i * 4 + 0] = iv * inW + iu;
            neighbours_[i * 4 + 1] = iv * inW + iu + 1;
            neighbours_[i * 4 + 2] = (iv + 1) * inW + iu;
            neighbours_[i * 4 + 3] = (iv + 1) * inW + iu + 1;
            weights_[i * 4 + 0] = 1 - fu - fv + fu * fv;
            weights_[i * 4 + 1] = fu - fu * fv;
            weights_[i * 4 + 2] = fv - fu * fv;
            weights_[i * 4 + 3] = fu * fv;
        }
    }
    valid_ = true;
}

bool UndistorterImpl::undistort(const GImage& in, GImage& out) const {
    if (!valid_) {
        out = in;
        return false;
    }
    if (in.cols != cameraIn_->width || in.rows != cameraIn_->height) {
        std::cerr << "input image size differs from expected input size! Not undistorting.\n";
        out = in;
        return false;
    }
    if (identity_) {
        out = GImage(static_cast<cv::Mat>(in).clone());
        return true;
    }
    const int w = cameraOut_->width, h = cameraOut_->height;
    cv::Mat result(h, w, in.type, cv::Scalar::all(0));
    const cv::Mat source = in;
    const size_t elem = result.elemSize();
    const bool byNearest = in.type == CV_8UC1 || in.type == CV_8UC3;
    for (int r = 0; r < h; ++r) {
        unsigned char* row = result.ptr<unsigned char>(r);
        for (int c = 0; c < w; ++c) {
            const size_t i = static_cast<size_t>(r) * w + c;
            if (byNearest) {
                if (nearest_[i] == -1) continue;
            } else if (!(sourceU_[i] > 0.0f)) {
                continue;
            }
            const int idx = nearest_[i];
            const unsigned char* src = source.ptr<unsigned char>(idx / source.cols) + (idx % source.cols) * elem;
            std::memcpy(row + c * elem, src, elem);
        }
    }
    out = GImage(result);
    return true;
}

}  // namespace fw
