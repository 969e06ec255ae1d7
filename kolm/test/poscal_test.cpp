#include "kolm/poscal.h"

#include "kmath/matrix.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cmath>

namespace {

constexpr double kEarthRadius = 6378137.0;
constexpr double kPi = 3.14159265358979323846;

const float kDown[3] = {1, 2, 3};
const float kFront[3] = {10, 20, 30};
const float kZero[3] = {0, 0, 0};

PosCal::Pose dronePose(double lat, double lon, float pitch, float roll, float yaw) {
    PosCal::Pose p;
    p.latitude = lat;
    p.longitude = lon;
    p.abs_height = 120;
    p.rel_height = 60;
    p.pitch = pitch;
    p.roll = roll;
    p.yaw = yaw;
    return p;
}

PosCal::Euler gimbalOf(float pitch, float roll, float yaw) {
    PosCal::Euler e;
    e.pitch = pitch;
    e.roll = roll;
    e.yaw = yaw;
    return e;
}

}  // namespace

TEST(PosCalLeverArm, TableOfModelsAndCameras) {
    struct Case {
        PosCal::Model model;
        uint8_t id;
        float expected[3];
    };
    const Case cases[] = {
        {PosCal::FIVE_CAMERA, PosCal::Front, {11, 22, 33}},  {PosCal::FIVE_CAMERA, PosCal::Right, {-19, 12, 33}},
        {PosCal::FIVE_CAMERA, PosCal::Down, {1, 2, 3}},      {PosCal::FIVE_CAMERA, PosCal::Back, {-9, -18, 33}},
        {PosCal::FIVE_CAMERA, PosCal::Left, {21, -8, 33}},   {PosCal::FIVE_CAMERA2, PosCal::Right, {-19, 12, 33}},
        {PosCal::SINGLE_CAMERA, PosCal::Front, {11, 22, 33}}, {PosCal::SINGLE_CAMERA, PosCal::Down, {1, 2, 3}},
        {PosCal::TRIPLE_CAMERA, PosCal::T2_RIGHT, {11, 22, 33}}, {PosCal::TRIPLE_CAMERA, PosCal::T2_DOWN, {1, 2, 3}},
        {PosCal::TRIPLE_CAMERA, PosCal::T2_LEFT, {-9, -18, 33}},
    };
    for (const auto& c : cases) {
        PosCal calc(c.model, kDown, kFront);
        float arm[3];
        calc._getSensorPosInBody(arm, c.id);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(arm[i], c.expected[i]) << "model " << c.model << " camera " << int(c.id) << " axis " << i;
        }
    }
    EXPECT_EQ(PosCal::convertCamerId(1), 0);
    EXPECT_EQ(PosCal::convertCamerId(5), 4);
}

TEST(PosCalPose, DownCameraWithoutLeverArmKeepsTheDronePosition) {
    PosCal calc(PosCal::FIVE_CAMERA, kZero, kFront);
    for (float yaw : {0.0f, 37.0f, -120.0f}) {
        const PosCal::Pose drone = dronePose(30.123456789, 120.987654321, 0, 0, yaw);
        const PosCal::Pose p = calc.getPose(PosCal::Down, drone, gimbalOf(-75, 3, 20), 45);
        EXPECT_EQ(p.latitude, drone.latitude);
        EXPECT_EQ(p.longitude, drone.longitude);
        EXPECT_EQ(p.abs_height, drone.abs_height);
        EXPECT_EQ(p.rel_height, drone.rel_height);
    }
}

TEST(PosCalPose, LeverArmMovesTheCamera) {
    // 0.2 below the position point, drone level: only the heights change
    const float below[3] = {0, 0, 0.2f};
    PosCal lower(PosCal::FIVE_CAMERA, below, kZero);
    const PosCal::Pose drone = dronePose(30.1, 120.2, 0, 0, 0);
    PosCal::Pose p = lower.getPose(PosCal::Down, drone, gimbalOf(-90, 0, 0), 45);
    EXPECT_EQ(p.latitude, drone.latitude);
    EXPECT_EQ(p.longitude, drone.longitude);
    EXPECT_FLOAT_EQ(p.abs_height, 119.8f);
    EXPECT_FLOAT_EQ(p.rel_height, 59.8f);

    // one unit forward with the drone yawed 90 degrees: one metre east
    const float forward[3] = {1, 0, 0};
    PosCal ahead(PosCal::FIVE_CAMERA, forward, kZero);
    p = ahead.getPose(PosCal::Down, dronePose(30.1, 120.2, 0, 0, 90), gimbalOf(-90, 0, 0), 45);
    EXPECT_NEAR(p.latitude, 30.1, 1e-10);
    EXPECT_NEAR((p.longitude - 120.2) * kPi / 180 * kEarthRadius * std::cos(30.1 * kPi / 180), 1.0, 1e-4);
    EXPECT_NEAR(p.abs_height, 120, 1e-6);

    // the gimbal's yaw turns the lever arm too: forward becomes east at gimbal yaw 90
    p = ahead.getPose(PosCal::Down, dronePose(30.1, 120.2, 0, 0, 0), gimbalOf(-90, 0, 90), 45);
    EXPECT_GT(p.longitude, 120.2);
    EXPECT_NEAR(p.latitude, 30.1, 1e-10);

    // a pitched-up drone lifts a forward arm: the heights grow
    p = ahead.getPose(PosCal::Down, dronePose(30.1, 120.2, 30, 0, 0), gimbalOf(-90, 0, 0), 45);
    EXPECT_NEAR(p.abs_height, 120 + 0.5f, 1e-5);
}

TEST(PosCalAttitude, CompositionOfGimbalMountAndDroneYaw) {
    PosCal five(PosCal::FIVE_CAMERA, kZero, kZero);
    // drone pitch and roll do not enter the attitude
    PosCal::Pose p = five.getPose(PosCal::Down, dronePose(0, 0, 12, -7, 30), gimbalOf(-60, 0, 0), 45);
    EXPECT_NEAR(p.pitch, -60, 1e-4);
    EXPECT_NEAR(p.roll, 0, 1e-4);
    EXPECT_NEAR(p.yaw, 30, 1e-4);

    // the triple rig's side cameras take the servo angle as their mount pitch
    PosCal triple(PosCal::TRIPLE_CAMERA, kZero, kZero);
    const PosCal::Euler gimbal = gimbalOf(-90, 0, 0);
    const PosCal::Euler level = gimbalOf(0, 0, 0);
    float rpy[3];
    const float rightMount[3] = {-90, 30, 0};
    const float g[3] = {0, -90, 0};
    const float d[3] = {0, 0, 0};
    PosCal::calc_camera_rpy(rpy, g, d, rightMount);
    PosCal::Euler right = triple.calcTripleCameraAltitude(PosCal::T2_RIGHT, gimbal, level, 30);
    EXPECT_NEAR(right.roll, rpy[0] * 57.29578f, 1e-4);
    EXPECT_NEAR(right.pitch, rpy[1] * 57.29578f, 1e-4);
    EXPECT_NEAR(right.yaw, rpy[2] * 57.29578f, 1e-4);
    const float leftMount[3] = {-90, -30, 0};
    PosCal::calc_camera_rpy(rpy, g, d, leftMount);
    PosCal::Euler left = triple.calcTripleCameraAltitude(PosCal::T2_LEFT, gimbal, level, 30);
    EXPECT_NEAR(left.pitch, rpy[1] * 57.29578f, 1e-4);
    EXPECT_NEAR(left.yaw, rpy[2] * 57.29578f, 1e-4);
    PosCal::Euler down30 = triple.calcTripleCameraAltitude(PosCal::T2_DOWN, gimbal, level, 30);
    PosCal::Euler down60 = triple.calcTripleCameraAltitude(PosCal::T2_DOWN, gimbal, level, 60);
    EXPECT_EQ(down30.pitch, down60.pitch);
    EXPECT_EQ(down30.roll, down60.roll);
    EXPECT_EQ(down30.yaw, down60.yaw);
    EXPECT_NE(right.roll, left.roll);

    // the single camera takes the arm of its number but the down camera's mount
    const float arm[3] = {0, 0, 0};
    PosCal single(PosCal::SINGLE_CAMERA, arm, kFront);
    const PosCal::Pose drone = dronePose(10, 20, 0, 0, 45);
    const PosCal::Pose s = single.getPose(PosCal::Front, drone, gimbalOf(-70, 5, 10), 45);
    const PosCal::Pose f = five.getPose(PosCal::Down, drone, gimbalOf(-70, 5, 10), 45);
    EXPECT_EQ(s.pitch, f.pitch);
    EXPECT_EQ(s.roll, f.roll);
    EXPECT_EQ(s.yaw, f.yaw);
    EXPECT_NE(s.latitude, drone.latitude);
}

TEST(PosCalAttitude, EulerMatrixOrders) {
    matrix3f rx, ry, rz, expected, got;
    PosCal::calc_dcm_by_xyz_euler(rx, 20, 0, 0);
    PosCal::calc_dcm_by_xyz_euler(ry, 0, -35, 0);
    PosCal::calc_dcm_by_xyz_euler(rz, 0, 0, 50);
    EXPECT_NEAR(rx[2][1], std::sin(20 * kPi / 180), 1e-6);
    EXPECT_NEAR(ry[0][2], std::sin(-35 * kPi / 180), 1e-6);
    EXPECT_NEAR(rz[1][0], std::sin(50 * kPi / 180), 1e-6);

    const struct {
        void (*build)(float[3][3], float, float, float);
        const float (*first)[3];
        const float (*second)[3];
        const float (*third)[3];
    } orders[] = {
        {PosCal::calc_dcm_by_xyz_euler, rz, ry, rx},
        {PosCal::calc_dcm_by_yxz_euler, rz, rx, ry},
        {PosCal::calc_dcm_by_zyx_euler, rx, ry, rz},
    };
    for (const auto& o : orders) {
        o.build(got, 20, -35, 50);
        matrix3f_multi_matrix3f(expected, o.first, o.second);
        matrix3f_multi_matrix3f(expected, expected, o.third);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(got[i][j], expected[i][j], 1e-6);
            }
        }
    }
}

TEST(PosCalSettings, ReadsModelAndVectorsFromASettingsFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("rig.ini");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Info]\nModel=2\n[Offset]\ndownToPos.x=1\ndownToPos.y=2\ndownToPos.z=3\n"
               "frontToDown.x=10\nfrontToDown.y=20\nfrontToDown.z=30\n");
    file.close();
    PosCal calc(path);
    EXPECT_EQ(calc.model(), PosCal::TRIPLE_CAMERA);
    float arm[3];
    calc._getSensorPosInBody(arm, PosCal::T2_LEFT);
    EXPECT_EQ(arm[0], -9);
    EXPECT_EQ(arm[1], -18);
    EXPECT_EQ(arm[2], 33);
}

TEST(PosCalDeathTest, UnknownModelsAndCamerasAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir dir;
    const QString path = dir.filePath("rig.ini");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Info]\nModel=9\n");
    file.close();
    EXPECT_DEATH(
        {
            PosCal calc(path);
            calc.getPose(PosCal::Down, dronePose(0, 0, 0, 0, 0), gimbalOf(-90, 0, 0), 45);
        },
        "unsupport model 9");
    EXPECT_DEATH(
        {
            PosCal triple(PosCal::TRIPLE_CAMERA, kDown, kFront);
            triple.getPose(3, dronePose(0, 0, 0, 0, 0), gimbalOf(-90, 0, 0), 45);
        },
        "unsupport camera index 3 for model 2");
    EXPECT_DEATH(
        {
            PosCal five(PosCal::FIVE_CAMERA, kDown, kFront);
            five.getPose(PosCal::convertCamerId(0), dronePose(0, 0, 0, 0, 0), gimbalOf(-90, 0, 0), 45);
        },
        "unsupport camera index 255 for model 1");
}

TEST(PosCalAttitude, VerticalCameraAnglesRebuildTheRotation) {
    // gimbal pitch -60 and the left mount's -30 turn the camera straight down
    struct Case {
        float gimbal[3];  // roll, pitch, yaw
        float droneYaw;
        float mount[3];
    };
    const Case cases[] = {
        {{0, -60, 0}, -150, {-90, -30, 0}},
        {{0, -60, 25}, 40, {-90, -30, 0}},
        {{0, -90, 0}, 70, {0, 0, 0}},
        {{0, -45, -10}, 200, {0, -45, 0}},
        {{0, -60, 0}, 10, {-90, 30, 0}},  // not vertical
    };
    for (const auto& c : cases) {
        matrix3f m, g, d, expected;
        PosCal::calc_dcm_by_xyz_euler(m, c.mount[0], c.mount[1], c.mount[2]);
        PosCal::calc_dcm_by_yxz_euler(g, c.gimbal[0], c.gimbal[1], c.gimbal[2]);
        PosCal::calc_dcm_by_xyz_euler(d, 0, 0, c.droneYaw);
        matrix3f_multi_matrix3f(expected, d, g);
        matrix3f_multi_matrix3f(expected, expected, m);

        float rpy[3];
        const float drone[3] = {5, -3, c.droneYaw};
        PosCal::calc_camera_rpy(rpy, c.gimbal, drone, c.mount);
        const float toDeg = 57.29578f;
        matrix3f rebuilt;
        PosCal::calc_dcm_by_xyz_euler(rebuilt, rpy[0] * toDeg, rpy[1] * toDeg, rpy[2] * toDeg);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(rebuilt[i][j], expected[i][j], 1e-5) << "drone yaw " << c.droneYaw << " element " << i << j;
            }
        }
    }
}
