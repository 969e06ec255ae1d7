#pragma once
// A local east-north-up frame on the earth's tangent plane at a point: the
// front end adjusts in it so that coordinates stay small.

#include <opencv2/core.hpp>

namespace sfm {

class TangentFrame {
public:
    TangentFrame() = default;
    // The tangent frame at a position given in degrees and metres.
    TangentFrame(double latitude, double longitude, double height);

    cv::Vec3d toLocal(const cv::Vec3d& ecef) const { return axes_.t() * (ecef - origin_); }
    cv::Vec3d toEcef(const cv::Vec3d& local) const { return origin_ + axes_ * local; }
    // Columns east, north, up in earth-centred axes.
    const cv::Matx33d& axes() const { return axes_; }

private:
    cv::Vec3d origin_{0, 0, 0};
    cv::Matx33d axes_ = cv::Matx33d::eye();
};

}  // namespace sfm
