// The per-pixel undistorter: the same camera in and out copies the image, a
// radial model is resampled, and the refusals.

#include "terrain/undistorter.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

namespace {

TEST(Undistorter, IdentityRadialAndRefusals) {
    cv::Mat image(48, 64, CV_8UC3);
    cv::RNG(3).fill(image, cv::RNG::UNIFORM, 0, 256);
    // The same camera in and out, as one object or as two equal ones, with or
    // without distortion: every pixel is copied, none moves or goes black.
    struct Same {
        const char* name;
        std::shared_ptr<fw::CameraImpl> in, out;
    };
    auto plain = std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, 0, 0, 0, 0, 0);
    auto distorted = std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, -0.2, 0.05, 1e-3, 0, 0);
    const Same same[] = {
        {"one plain camera", plain, plain},
        {"one distorted camera", distorted, distorted},
        {"two equal distorted cameras", distorted,
         std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, -0.2, 0.05, 1e-3, 0, 0)},
    };
    fw::GImage out;
    for (const Same& c : same) {
        SCOPED_TRACE(c.name);
        fw::UndistorterImpl identity(c.in, c.out);
        ASSERT_TRUE(identity.valid());
        EXPECT_TRUE(identity.identity());
        ASSERT_TRUE(identity.undistort(fw::GImage(image), out));
        const cv::Mat result = out;
        ASSERT_EQ(result.size(), image.size());
        EXPECT_EQ(cv::norm(result, image, cv::NORM_INF), 0.0);
        EXPECT_NE(result.data, image.data);  // a copy, not the caller's pixels
    }

    // Barrel distortion: the centre stays, the border is resampled from inside.
    auto barrel = std::make_shared<fw::CameraOpenCV>(64, 48, 50.0, 50.0, 32.0, 24.0, -0.3, 0, 0, 0, 0);
    auto ideal = std::make_shared<fw::CameraPinhole>(64, 48, 50.0, 50.0, 32.0, 24.0);
    fw::UndistorterImpl radial(barrel, ideal);
    EXPECT_FALSE(radial.identity());
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
