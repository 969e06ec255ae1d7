// The depth map of one frame from a stereo pair: rectification from the
// poses, matching on the stage's engine, disparity to depth.

#include "stereo_dense/dense_depth.h"

#include "fw/log.h"
#include "fw/settings.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cfloat>
#include <climits>
#include <cmath>
#include <sstream>
#include <string>

namespace {

// Share of the deepest sparse depth that the depth range reaches beyond it.
constexpr double kDepthMargin = 0.02;

cv::Mat cameraMatrixOf(const fw::CameraImpl& camera) {
    const std::vector<double> p = camera.parameterVector();
    return (cv::Mat_<double>(3, 3) << p[2], 0.0, p[4], 0.0, p[3], p[5], 0.0, 0.0, 1.0);
}

cv::Mat distortionOf(const fw::CameraImpl& camera) {
    const std::vector<double> p = camera.parameterVector();
    cv::Mat d = cv::Mat(5, 1, CV_64F, cv::Scalar(0));
    if (p.size() == 11)
        for (int i = 0; i < 5; ++i) d.at<double>(i) = p[size_t(6 + i)];
    return d;
}

cv::Mat rotationMatrix(const fw::SO3& q) {
    cv::Mat r(3, 3, CV_64F);
    const pt::Point3d axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int c = 0; c < 3; ++c) {
        const pt::Point3d column = q * axes[c];
        r.at<double>(0, c) = column.x;
        r.at<double>(1, c) = column.y;
        r.at<double>(2, c) = column.z;
    }
    return r;
}

fw::SO3 quaternionOf(const cv::Mat& rotation) {
    cv::Mat r;
    rotation.convertTo(r, CV_64F);
    r = r.clone();  // continuous, row-major
    fw::SO3 q;
    q.fromMatrix(r.ptr<double>());
    return q;
}

// A quarter turn clockwise, and back.
cv::Mat turnClockwise(const cv::Mat& image) {
    cv::Mat turned;
    cv::transpose(image, turned);
    cv::flip(turned, turned, 1);
    return turned;
}
cv::Mat turnBack(const cv::Mat& image) {
    cv::Mat flipped, turned;
    cv::flip(image, flipped, 1);
    cv::transpose(flipped, turned);
    return turned;
}

// floor(value) as an int when it is one.
bool toInt(double value, int& out) {
    if (!std::isfinite(value) || value < double(INT_MIN) || value > double(INT_MAX)) return false;
    out = int(value);
    return true;
}

bool supportedCamera(const std::shared_ptr<fw::CameraImpl>& camera) {
    if (!camera || !camera->isValid()) return false;
    const size_t n = camera->parameterVector().size();
    return n == 6 || n == 11;
}

}  // namespace

bool DenseDepth::computePairDepth(const std::shared_ptr<ImageScaled>& own, const std::shared_ptr<ImageScaled>& partner) {
    std::string why;
    return computePairDepth(own, partner, why);
}

bool DenseDepth::computePairDepth(const std::shared_ptr<ImageScaled>& own, const std::shared_ptr<ImageScaled>& partner,
                                  std::string& why) {
    auto fail = [&why](std::string reason) {
        why = std::move(reason);
        return false;
    };
    if (!own || !partner || !own->frame || !partner->frame) return fail("it has no stereo partner");
    ImageScaled& a = *own;
    const fw::SE3 poseA = a.frame->getPose();
    const fw::SE3 poseB = partner->frame->getPose();
    fw::SE3 rel = poseB.inverse() * poseA;  // A's camera frame into B's
    const pt::Point3d t = rel.inverse().translation;
    const double baseline = std::sqrt(t.x * t.x + t.y * t.y + t.z * t.z);

    if (a.frame->id == partner->frame->id) {
        FW_LOG(Error) << "Somehow Duplicated frames are passed - FRAME: " << a.frame->id;
        return fail("its stereo partner is the frame itself");
    }
    const double span = 1.0 + std::sqrt(poseA.translation.x * poseA.translation.x +
                                        poseA.translation.y * poseA.translation.y +
                                        poseA.translation.z * poseA.translation.z);
    if (!std::isfinite(baseline) || baseline <= 1e-12 * span) {
        FW_LOG(Warning) << "No baseline between frames " << a.frame->id << " and " << partner->frame->id
                        << " - DIS: " << baseline;
        return fail("no baseline to its stereo partner, frame " + std::to_string(partner->frame->id));
    }

    // Left view L, right view R; rel maps L's camera frame into R's.
    const bool horizontal = std::fabs(t.y) <= std::fabs(t.x);
    const double s = horizontal ? t.x : t.y;
    const bool ownIsLeft = (horizontal && t.x > 0) || (!horizontal && t.y < 0) || s == 0;
    if (!ownIsLeft) rel = rel.inverse();
    const ImageScaled& left = ownIsLeft ? a : *partner;
    const ImageScaled& right = ownIsLeft ? *partner : a;
    if (a.image.empty()) return fail(a.loadFailure.empty() ? "it has no image" : a.loadFailure);
    if (partner->image.empty())
        return fail("its stereo partner, frame " + std::to_string(partner->frame->id) + ", has no image");

    const std::shared_ptr<fw::CameraImpl> leftCamera = left.frame->getCamera(0);
    const std::shared_ptr<fw::CameraImpl> rightCamera = right.frame->getCamera(0);
    if (!supportedCamera(leftCamera) || !supportedCamera(rightCamera)) {
        FW_LOG(Error) << "Dense depth supports pinhole and OpenCV cameras only - FRAME: " << a.frame->id;
        return fail("dense depth supports pinhole and OpenCV cameras only");
    }
    std::shared_ptr<fw::CameraImpl> leftScaled = fw::CameraImpl::create(leftCamera->parameterVector());
    std::shared_ptr<fw::CameraImpl> rightScaled = fw::CameraImpl::create(rightCamera->parameterVector());
    const double k = processingFactor(scale_, leftScaled->width);
    if (k < 1.0 && (!leftScaled->scaleBy(k) || !rightScaled->scaleBy(k)))
        return fail("its camera cannot be scaled to the processing size");
    const int W = leftScaled->width, H = leftScaled->height;
    if (W <= 0 || H <= 0) return fail("its camera has no image size");

    cv::Mat R1, R2, P1, P2, Q;
    const cv::Mat T = (cv::Mat_<double>(3, 1) << rel.translation.x, rel.translation.y, rel.translation.z);
    cv::stereoRectify(cameraMatrixOf(*leftScaled), distortionOf(*leftScaled), cameraMatrixOf(*rightScaled),
                      distortionOf(*rightScaled), cv::Size(W, H), rotationMatrix(rel.rotation), T, R1, R2, P1, P2, Q,
                      cv::CALIB_ZERO_DISPARITY, -1.0, cv::Size(W, H));
    const double f = P1.at<double>(0, 0);
    if (!std::isfinite(f) || f <= 0.0) {
        FW_LOG(Warning) << "Rectification failed - FRAME: " << a.frame->id;
        return fail("the rectification with frame " + std::to_string(partner->frame->id) + " failed");
    }

    double dmin = 0.0, dmax = 0.0;
    if (!ImageScaled::computeDepthRange(left.frame, fw::SE3(quaternionOf(R1), pt::Point3d(0, 0, 0)), dmin, dmax)) {
        FW_LOG(Info) << "Failed to read depth range from sparse cloud.";
        return fail("no depth range from its sparse points");
    }
    // Depths are kept as floats.
    if (!std::isfinite(dmin) || !(dmax <= double(FLT_MAX)) || dmin <= 0.0 || dmax < dmin) {
        FW_LOG(Warning) << "Invalid depth range from sparse cloud - FRAME: " << a.frame->id << " min: " << dmin
                        << " max: " << dmax;
        return fail("invalid depth range from its sparse points");
    }
    // The deepest sparse point is not the deepest surface point: on flat
    // ground exact sparse points all lie at one depth, half the surface lies
    // beyond it and its disparities at the edge of the search. The range
    // reaches a little further.
    dmax *= 1.0 + kDepthMargin;
    a.minDepth = float(dmin);
    a.maxDepth = float(dmax);

    // The maps sample the full-resolution image straight into the processing size.
    cv::Mat leftX, leftY, rightX, rightY;
    cv::initUndistortRectifyMap(cameraMatrixOf(*leftCamera), distortionOf(*leftCamera), R1, P1, cv::Size(W, H),
                                CV_32FC1, leftX, leftY);
    cv::initUndistortRectifyMap(cameraMatrixOf(*rightCamera), distortionOf(*rightCamera), R2, P2, cv::Size(W, H),
                                CV_32FC1, rightX, rightY);
    cv::Mat leftRectified, rightRectified;
    cv::remap(left.image, leftRectified, leftX, leftY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    cv::remap(right.image, rightRectified, rightX, rightY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    const cv::Mat full(left.image.size(), CV_8UC1, cv::Scalar(255));
    cv::remap(full, a.validMask, ownIsLeft ? leftX : rightX, ownIsLeft ? leftY : rightY, cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());

    cv::Mat leftInput = horizontal ? leftRectified : turnClockwise(leftRectified);
    cv::Mat rightInput = horizontal ? rightRectified : turnClockwise(rightRectified);
    const int extent = horizontal ? W : H;

    const double largest = baseline * f / dmin;
    const double overlap = 1.0 - largest / double(extent);
    if (overlap < 0) {
        FW_LOG(Warning) << "Negative Overlap Calculated - DIS: " << baseline << " Overlap: " << overlap;
        a.validMask.release();
        return fail("no overlap with its stereo partner, frame " + std::to_string(partner->frame->id) +
                    " (baseline " + std::to_string(baseline) + ")");
    }

    cv::Mat leftGray, rightGray;
    cv::cvtColor(leftInput, leftGray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(rightInput, rightGray, cv::COLOR_BGR2GRAY);

    const double factor = fw::Settings::instance().GetDouble("pointsfusion.search_range_factor", 3.0);
    int dispMin = 0, dispMax = 0;
    if (!toInt(std::floor(baseline * f / dmax), dispMin) || !toInt(std::trunc(std::floor(largest) * factor), dispMax)) {
        FW_LOG(Warning) << "Disparity range out of bounds - FRAME: " << a.frame->id;
        a.validMask.release();
        return fail("its disparity range is out of bounds");
    }

    dv::Var disparities;
    {
        std::lock_guard<std::mutex> lock(matcherMutex_);
        disparities = engine_->compute(leftGray, rightGray, dispMin, dispMax);
    }
    const dv::Var& maps = disparities;
    cv::Mat disparity = maps[ownIsLeft ? 0 : 1].typedRef<cv::Mat>();
    if (disparity.type() != CV_32FC1 || disparity.size() != leftGray.size()) {
        FW_LOG(Error) << "disparity map of the wrong size or type";
        return fail("the matcher gave a disparity map of the wrong size or type");
    }
    if (!horizontal) disparity = turnBack(disparity);

    const cv::Mat& rotationA = ownIsLeft ? R1 : R2;
    const cv::Mat& projectionA = ownIsLeft ? P1 : P2;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a.K[r * 3 + c] = projectionA.at<double>(r, c);
    a.rectified = ownIsLeft ? leftRectified : rightRectified;
    a.pose = poseA * fw::SE3(quaternionOf(rotationA).conjugate(), pt::Point3d(0, 0, 0));
    a.consistency = cv::Mat(H, W, CV_8UC1, cv::Scalar(1));

    cv::erode(a.validMask, a.validMask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)), cv::Point(-1, -1), 1,
              cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

    // Matrices are filled rather than made by Mat::zeros or Mat::ones, whose
    // shared expression state OpenCV makes lazily without a lock.
    // Only positive depths up to the range count; a rejected or negative
    // disparity gives none.
    cv::Mat depth = cv::Mat(H, W, CV_32FC1, cv::Scalar(0));
    const double bf = baseline * f;
    int64_t accepted = 0;
    for (int y = 0; y < H; ++y) {
        const float* d = disparity.ptr<float>(y);
        const unsigned char* mask = a.validMask.ptr<unsigned char>(y);
        float* out = depth.ptr<float>(y);
        for (int x = 0; x < W; ++x) {
            if (!mask[x]) continue;
            const double z = bf / double(d[x]);
            if (z > 0.0 && z <= dmax) {
                out[x] = float(z);
                ++accepted;
            }
        }
    }
    a.validMask.release();
    const double fraction = double(accepted) / (double(W) * double(H));
    const bool success = double(accepted) >= 0.2 * double(W) * double(H);
    if (!success) {
        std::ostringstream text;
        text << "accepted fraction " << fraction << " of its pixels, below 0.2";
        return fail(text.str());
    }
    a.depth = depth;
    return true;
}
