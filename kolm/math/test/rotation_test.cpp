#include "kmath/matrix.h"
#include "kmath/rotation.h"
#include "kmath/vector.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr float kHalfPi = 1.5707963f;

void expectMatrixNear(const matrix3f a, const matrix3f b, float tolerance, const std::string& what) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(a[i][j], b[i][j], tolerance) << what << " element " << i << "," << j;
        }
    }
}

// Elementary rotations written out by hand.
void rx(matrix3f m, float a) { matrix3f_set_value(m, 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a)); }
void ry(matrix3f m, float a) { matrix3f_set_value(m, std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)); }
void rz(matrix3f m, float a) { matrix3f_set_value(m, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1); }

struct EulerCase {
    float yaw, pitch, roll;
};

const EulerCase kEulerCases[] = {
    {0, 0, 0}, {0.3f, -0.2f, 0.1f}, {2.5f, 1.2f, -2.9f}, {-3.0f, -1.4f, 0.7f}, {1.0f, 0.0f, 3.0f},
};

}  // namespace

TEST(Rotations, EulerToDcmIsZYXProduct) {
    const vector3f quarterYaw = {kHalfPi, 0, 0};
    matrix3f r;
    euler_to_dcm(r, quarterYaw);
    const vector3f x = {1, 0, 0};
    vector3f turned;
    matrix3f_multi_vector3f(turned, r, x);
    EXPECT_NEAR(turned[0], 0, 1e-6);
    EXPECT_NEAR(turned[1], 1, 1e-6);
    EXPECT_NEAR(turned[2], 0, 1e-6);

    for (const auto& c : kEulerCases) {
        const vector3f e = {c.yaw, c.pitch, c.roll};
        euler_to_dcm(r, e);
        matrix3f z, y, xr, expected;
        rz(z, c.yaw);
        ry(y, c.pitch);
        rx(xr, c.roll);
        matrix3f_multi_matrix3f(expected, z, y);
        matrix3f_multi_matrix3f(expected, expected, xr);
        expectMatrixNear(r, expected, 1e-6f, "euler_to_dcm");

        vector3f back;
        dcm_to_euler(back, r);
        EXPECT_NEAR(back[0], c.yaw, 1e-5);
        EXPECT_NEAR(back[1], c.pitch, 1e-5);
        EXPECT_NEAR(back[2], c.roll, 1e-5);
        vector3f xyz;
        dcm_to_euler_xyz(xyz, r);
        EXPECT_EQ(xyz[0], back[2]);
        EXPECT_EQ(xyz[1], back[1]);
        EXPECT_EQ(xyz[2], back[0]);
    }
}

TEST(Rotations, QuaternionPathsAgreeWithMatrices) {
    for (const auto& c : kEulerCases) {
        const vector3f e = {c.yaw, c.pitch, c.roll};
        matrix3f r;
        euler_to_dcm(r, e);
        vector4f q;
        euler_to_quat(q, e);
        EXPECT_NEAR(vector4f_norm(q), 1, 1e-6);
        matrix3f fromQuat;
        quat_to_dcm(fromQuat, q);
        expectMatrixNear(fromQuat, r, 2e-6f, "quat_to_dcm(euler_to_quat)");

        vector3f eq;
        quat_to_euler(eq, q);
        EXPECT_NEAR(eq[0], c.yaw, 1e-5);
        EXPECT_NEAR(eq[1], c.pitch, 1e-5);
        EXPECT_NEAR(eq[2], c.roll, 1e-5);

        vector4f q2;
        dcm_to_quat(q2, r);
        matrix3f again;
        quat_to_dcm(again, q2);
        expectMatrixNear(again, r, 2e-6f, "dcm_to_quat");

        vector4f aa;
        dcm_to_axis_angle(aa, r);
        axis_angle_to_dcm(again, aa);
        expectMatrixNear(again, r, 2e-6f, "dcm_to_axis_angle");

        vector3f rv;
        dcm_to_rotation_vector(rv, r);
        rotation_vector_to_dcm(again, rv);
        expectMatrixNear(again, r, 2e-6f, "dcm_to_rotation_vector");

        vector4f q3;
        rotation_vector_to_quat(q3, rv);
        quat_to_dcm(again, q3);
        expectMatrixNear(again, r, 2e-6f, "rotation_vector_to_quat");

        vector3f rv2;
        quat_to_rotation_vector(rv2, q3);
        rotation_vector_to_dcm(again, rv2);
        expectMatrixNear(again, r, 2e-6f, "quat_to_rotation_vector");
    }
}

TEST(Rotations, DcmToQuatCoversEveryBranch) {
    // half turns about x, y and z (trace -1) pick the largest diagonal element
    const vector4f halfTurns[] = {{3.1415927f, 1, 0, 0}, {3.1415927f, 0, 1, 0}, {3.1415927f, 0, 0, 1},
                                  {0.2f, 0.6f, 0, 0.8f}};
    for (const auto& aa : halfTurns) {
        matrix3f r;
        axis_angle_to_dcm(r, aa);
        vector4f q;
        dcm_to_quat(q, r);
        EXPECT_NEAR(vector4f_norm(q), 1, 1e-5);
        matrix3f back;
        quat_to_dcm(back, q);
        expectMatrixNear(back, r, 2e-6f, "dcm_to_quat branch");
    }
}

TEST(Rotations, ElementaryRotationsFromAxisAngle) {
    const float a = 0.4f;
    const vector4f ax = {a, 1, 0, 0};
    const vector4f ay = {a, 0, 1, 0};
    const vector4f az = {a, 0, 0, 1};
    matrix3f got, expected;
    axis_angle_to_dcm(got, ax);
    rx(expected, a);
    expectMatrixNear(got, expected, 1e-7f, "Rx");
    axis_angle_to_dcm(got, ay);
    ry(expected, a);
    expectMatrixNear(got, expected, 1e-7f, "Ry");
    axis_angle_to_dcm(got, az);
    rz(expected, a);
    expectMatrixNear(got, expected, 1e-7f, "Rz");
    rotation_vector_z_to_dcm(got, a);
    expectMatrixNear(got, expected, 1e-7f, "rotation_vector_z_to_dcm");

    vector4f q;
    axis_angle_to_quat(q, az);
    EXPECT_NEAR(q[0], std::cos(a / 2), 1e-7);
    EXPECT_NEAR(q[3], std::sin(a / 2), 1e-7);
    EXPECT_EQ(q[1], 0);
}

TEST(Rotations, RegulatorKeepsTheRotation) {
    struct Case {
        vector4f in;
        vector4f expected;
    };
    const Case cases[] = {
        {{-1, 0, 0, 2}, {1, 0, 0, -1}},
        {{0.5f, 3, 0, 4}, {0.5f, 0.6f, 0, 0.8f}},
        {{2 * 3.1415927f + 0.5f, 0, 1, 0}, {0.5f, 0, 1, 0}},
        {{4.0f, 1, 0, 0}, {4.0f, 1, 0, 0}},
        {{-10.0f, 0, 0, 1}, {10.0f - 2 * 3.1415927f, 0, 0, -1}},
        {{2.0f, 0, 0, 0}, {0, 0, 0, 1}},
        {{2.0f, 1e-18f, -1e-18f, 0}, {0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        vector4f aa;
        vector4f_copy(aa, c.in);
        axis_angle_regulator(aa);
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(aa[i], c.expected[i], 1e-5) << "input angle " << c.in[0] << " element " << i;
        }
        if (vector3f_norm(c.in + 1) > 1e-6f) {
            vector4f unitIn;
            vector4f_copy(unitIn, c.in);
            vector3f_normalize(unitIn + 1);
            matrix3f before, after;
            axis_angle_to_dcm(before, unitIn);
            axis_angle_to_dcm(after, aa);
            expectMatrixNear(after, before, 1e-5f, "regulated rotation");
        }
    }

    vector3f rv;
    const vector4f big = {7.0f, 0, 0, 3};
    axis_angle_to_rotation_vector(rv, big);
    EXPECT_NEAR(rv[2], 7.0f - 2 * 3.1415927f, 1e-5);

    vector4f fromNull;
    const vector3f nullVector = {0, 0, 0};
    rotation_vector_to_axis_angle(fromNull, nullVector);
    EXPECT_EQ(fromNull[0], 0);
    EXPECT_EQ(fromNull[3], 1);
}

TEST(Rotations, QuaternionAngleExtraction) {
    const vector4f identity = {1, 0, 0, 0};
    vector4f aa;
    quat_to_axis_angle(aa, identity);
    EXPECT_EQ(aa[0], 0);
    EXPECT_EQ(aa[1], 1);

    // tilt of 0.3 rad about the horizontal axis (0.6, 0.8)
    const vector4f tiltAa = {0.3f, 0.6f, 0.8f, 0};
    vector4f tilt;
    axis_angle_to_quat(tilt, tiltAa);
    float tx = 0, ty = 0;
    tilt_quat_to_angle(tx, ty, tilt);
    EXPECT_NEAR(tx, 0.18f, 1e-6);
    EXPECT_NEAR(ty, 0.24f, 1e-6);
    tilt_quat_to_angle(tx, ty, identity);
    EXPECT_EQ(tx, 0);
    EXPECT_EQ(ty, 0);

    const vector4f torsionAa = {-0.7f, 0, 0, 1};
    vector4f torsion;
    axis_angle_to_quat(torsion, torsionAa);
    float tz = 0;
    torsion_quat_to_angle(tz, torsion);
    EXPECT_NEAR(tz, -0.7f, 1e-6);
}
