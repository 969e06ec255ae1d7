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

TEST(GimbalPose, TangentFrameKeepsItsRecordedAxes) {
    // (latitude, longitude) and the recorded row-major axes.
    struct Case {
        double lat, lon;
        double m[9];
    };
    const Case cases[] = {
        {22.5, 113.9, {-0.91425395523426378, 0.15504097302275666, -0.37430201979506028, -0.40514158677986251,
                       -0.3498698416424072, 0.84466051675842646, 0, 0.92387953251128674, 0.38268343236508978}},
        {-33.9, 151.2, {-0.4817536741017156, -0.48875576476069499, -0.7273453099475421, -0.87630668004386336,
                        0.26869575546322749, 0.39986146789425392, 0, 0.83001228509536751, -0.5577451089796901}},
        {-89.99, -120, {0.86602540378443871, -0.49999999238456433, -8.7266462156693545e-05, -0.49999999999999978,
                        -0.86602539059411754, -0.00015114994625217999, 0, 0.00017453292431338717,
                        -0.9999999847691291}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lat << " " << c.lon);
        const cv::Matx33d R = enuToEcef(c.lat, c.lon);
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(R.val[i], c.m[i], 1e-15) << i;
    }
}
