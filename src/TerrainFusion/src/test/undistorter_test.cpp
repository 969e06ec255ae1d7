// The per-pixel undistorter: an identity map for a camera without distortion,
// a radial model resampled, and the refusals.

#include "terrain/undistorter.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

namespace {

TEST(Undistorter, IdentityRadialAndRefusals) {
    cv::Mat image(48, 64, CV_8UC3);
    cv::RNG(3).fill(image, cv::RNG::UNIFORM, 0, 256);
    auto plain = std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, 0, 0, 0, 0, 0);
    fw::UndistorterImpl identity(plain, plain);
    ASSERT_TRUE(identity.valid());
    fw::GImage out;
    ASSERT_TRUE(identity.undistort(fw::GImage(image), out));
    // Pixel corners map onto themselves, up to the rounding of the inverse's
    // iterations, which may truncate to the pixel before.
    const cv::Mat result = out;
    int mismatched = 0;
    for (int r = 1; r < 48; ++r)
        for (int c = 1; c < 64; ++c) {
            const cv::Vec3b v = result.at<cv::Vec3b>(r, c);
            mismatched += v != image.at<cv::Vec3b>(r, c) && v != image.at<cv::Vec3b>(r, c - 1) &&
                          v != image.at<cv::Vec3b>(r - 1, c) && v != image.at<cv::Vec3b>(r - 1, c - 1);
        }
    EXPECT_EQ(mismatched, 0);

    // Barrel distortion: the centre stays, the border is resampled from inside.
    auto barrel = std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, -0.3, 0, 0, 0, 0);
    auto ideal = std::make_shared<fw::CameraPinhole>(64, 48, 50.0, 50.0, 32.0, 24.0);
    fw::UndistorterImpl radial(barrel, ideal);
    ASSERT_TRUE(radial.undistort(fw::GImage(image), out));
    const cv::Mat resampled = out;
    EXPECT_EQ(resampled.at<cv::Vec3b>(24, 32), image.at<cv::Vec3b>(24, 32));
    EXPECT_GT(cv::norm(resampled, image, cv::NORM_L1), 0.0);

    // Wrong input size: unchanged, false; an invalid camera: not valid.
    testing::internal::CaptureStderr();
    cv::Mat small(10, 10, CV_8UC3, cv::Scalar::all(1));
    EXPECT_FALSE(radial.undistort(fw::GImage(small), out));
    EXPECT_EQ(out.data, small.data);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "input image size differs from expected input size! Not undistorting.\n");
    fw::UndistorterImpl invalid(std::make_shared<fw::CameraImpl>(), ideal);
    EXPECT_FALSE(invalid.valid());
    EXPECT_FALSE(invalid.undistort(fw::GImage(image), out));
}

}  // namespace
