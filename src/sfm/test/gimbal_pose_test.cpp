// Gimbal angles to camera axes, checked against axes worked out by hand.
#include "sfm/gimbal_pose.h"

#include <gtest/gtest.h>

using namespace sfm;

namespace {

void expectColumns(const cv::Matx33d& R, const cv::Vec3d& x, const cv::Vec3d& y, const cv::Vec3d& z) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(R(i, 0), x[i], 1e-12) << "x " << i;
        EXPECT_NEAR(R(i, 1), y[i], 1e-12) << "y " << i;
        EXPECT_NEAR(R(i, 2), z[i], 1e-12) << "z " << i;
    }
}

}  // namespace

TEST(GimbalPose, CameraAxesInEastNorthUp) {
    struct Case {
        double pitch, yaw, roll;
        cv::Vec3d x, y, z;  // camera axes in (east, north, up)
    };
    const Case cases[] = {
        // level, facing north: right is east, down is down
        {0, 0, 0, {1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
        // straight down, top of the image to the north: image down is south
        {-90, 0, 0, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}},
        // straight down, heading east: right is south, image down is west
        {-90, 90, 0, {0, -1, 0}, {-1, 0, 0}, {0, 0, -1}},
        // level, facing east
        {0, 90, 0, {0, -1, 0}, {0, 0, -1}, {1, 0, 0}},
        // level, facing north, rolled right by 90: the right side points down
        {0, 0, 90, {0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
        // heading south, looking down
        {-90, 180, 0, {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pitch << " " << c.yaw << " " << c.roll);
        expectColumns(cameraToEnu(c.pitch, c.yaw, c.roll), c.x, c.y, c.z);
    }
}

TEST(GimbalPose, TangentFrameOnTheEarth) {
    // At (0, 0) east is +y, north +z, up +x of the earth-centred axes.
    expectColumns(enuToEcef(0, 0), {0, 1, 0}, {0, 0, 1}, {1, 0, 0});
    // At the north pole on the prime meridian north points along -x and up along +z.
    expectColumns(enuToEcef(90, 0), {0, 1, 0}, {-1, 0, 0}, {0, 0, 1});
    // At (0, 90) east is -x.
    expectColumns(enuToEcef(0, 90), {-1, 0, 0}, {0, 0, 1}, {0, 1, 0});
    // Looking down at (0, 0): the viewing direction is towards the earth's centre.
    const cv::Matx33d R = cameraToEcef(0, 0, -90, 0, 0);
    EXPECT_NEAR(R(0, 2), -1.0, 1e-12);
    EXPECT_NEAR(cv::determinant(R), 1.0, 1e-12);
}
