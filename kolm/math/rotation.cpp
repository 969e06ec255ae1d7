#include "kmath/rotation.h"

#include "kmath/matrix.h"
#include "kmath/vector.h"

#include <cmath>

namespace {

bool nearZero(float v) { return v <= kmath::kNearZero && v >= -kmath::kNearZero; }

}  // namespace

void axis_angle_regulator(vector4f aa) {
    if (aa[0] < 0.0f) {
        for (int i = 0; i < 4; ++i) {
            aa[i] = -aa[i];
        }
    }
    const float fullTurn = 2.0f * kmath::kPi;
    if (aa[0] > kmath::kPi) {
        aa[0] -= std::floor(aa[0] / fullTurn) * fullTurn;
        if (aa[0] < 0.0f) {
            aa[0] += fullTurn;
        }
    }
    if (nearZero(aa[1]) && nearZero(aa[2]) && nearZero(aa[3])) {
        vector4f_set_value(aa, 0.0f, 0.0f, 0.0f, 1.0f);
        return;
    }
    vector3f_normalize(aa + 1);
}

void axis_angle_to_rotation_vector(vector3f out, const vector4f axis_angle) {
    vector4f aa;
    vector4f_copy(aa, axis_angle);
    axis_angle_regulator(aa);
    vector3f_multi_scaler(out, aa + 1, aa[0]);
}

void axis_angle_to_quat(vector4f out, const vector4f axis_angle) {
    const float half = 0.5f * axis_angle[0];
    const float s = std::sin(half);
    vector4f_set_value(out, std::cos(half), axis_angle[1] * s, axis_angle[2] * s, axis_angle[3] * s);
}

void axis_angle_to_dcm(matrix3f out, const vector4f axis_angle) {
    const float a = axis_angle[0];
    const float x = axis_angle[1];
    const float y = axis_angle[2];
    const float z = axis_angle[3];
    const float c = std::cos(a);
    const float s = std::sin(a);
    const float t = 1.0f - c;
    matrix3f_set_value(out,                                                  //
                       c + t * x * x, t * x * y - s * z, t * x * z + s * y,  //
                       t * y * x + s * z, c + t * y * y, t * y * z - s * x,  //
                       t * z * x - s * y, t * z * y + s * x, c + t * z * z);
}

void rotation_vector_to_axis_angle(vector4f out, const vector3f rv) {
    vector4f_set_value(out, vector3f_norm(rv), rv[0], rv[1], rv[2]);
    axis_angle_regulator(out);
}

void rotation_vector_to_quat(vector4f out, const vector3f rv) {
    vector4f aa;
    rotation_vector_to_axis_angle(aa, rv);
    axis_angle_to_quat(out, aa);
}

void rotation_vector_to_dcm(matrix3f out, const vector3f rv) {
    vector4f aa;
    rotation_vector_to_axis_angle(aa, rv);
    axis_angle_to_dcm(out, aa);
}

void rotation_vector_z_to_dcm(matrix3f out, float theta) {
    const float c = std::cos(theta);
    const float s = std::sin(theta);
    matrix3f_set_value(out, c, -s, 0.0f, s, c, 0.0f, 0.0f, 0.0f, 1.0f);
}

void quat_to_axis_angle(vector4f out, const vector4f q) {
    const float s = std::sqrt(q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (nearZero(s)) {
        vector4f_set_value(out, 0.0f, 1.0f, 0.0f, 0.0f);
        return;
    }
    vector4f_set_value(out, 2.0f * std::atan2(s, q[0]), q[1] / s, q[2] / s, q[3] / s);
}

void quat_to_rotation_vector(vector3f out, const vector4f q) {
    vector4f aa;
    quat_to_axis_angle(aa, q);
    axis_angle_to_rotation_vector(out, aa);
}

void tilt_quat_to_angle(float& theta_x, float& theta_y, const vector4f q) {
    const float s = std::sqrt(q[1] * q[1] + q[2] * q[2]);
    if (nearZero(s)) {
        theta_x = 0.0f;
        theta_y = 0.0f;
        return;
    }
    const float a = 2.0f * std::atan2(s, q[0]);
    theta_x = q[1] * a / s;
    theta_y = q[2] * a / s;
}

void torsion_quat_to_angle(float& theta_z, const vector4f q) { theta_z = 2.0f * std::atan2(q[3], q[0]); }

void quat_to_dcm(matrix3f out, const vector4f q) {
    const float w = q[0];
    const float x = q[1];
    const float y = q[2];
    const float z = q[3];
    matrix3f_set_value(out,                                                                              //
                       1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y - w * z), 2.0f * (x * z + w * y),  //
                       2.0f * (x * y + w * z), 1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z - w * x),  //
                       2.0f * (x * z - w * y), 2.0f * (y * z + w * x), 1.0f - 2.0f * (x * x + y * y));
}

void quat_to_euler(vector3f out, const vector4f q) {
    const float w = q[0];
    const float x = q[1];
    const float y = q[2];
    const float z = q[3];
    const float r00 = 1.0f - 2.0f * (y * y + z * z);
    const float r10 = 2.0f * (x * y + w * z);
    const float r20 = 2.0f * (x * z - w * y);
    const float r21 = 2.0f * (y * z + w * x);
    const float r22 = 1.0f - 2.0f * (x * x + y * y);
    vector3f_set_value(out, std::atan2(r10, r00), std::atan2(-r20, std::sqrt(r00 * r00 + r10 * r10)),
                       std::atan2(r21, r22));
}

void dcm_to_quat(vector4f out, const matrix3f m) {
    const float trace = m[0][0] + m[1][1] + m[2][2];
    if (trace > 0.0f) {
        const float s = 2.0f * std::sqrt(trace + 1.0f);
        vector4f_set_value(out, 0.25f * s, (m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s);
    } else if (m[0][0] >= m[1][1] && m[0][0] >= m[2][2]) {
        const float s = 2.0f * std::sqrt(1.0f + m[0][0] - m[1][1] - m[2][2]);
        vector4f_set_value(out, (m[2][1] - m[1][2]) / s, 0.25f * s, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s);
    } else if (m[1][1] >= m[2][2]) {
        const float s = 2.0f * std::sqrt(1.0f + m[1][1] - m[0][0] - m[2][2]);
        vector4f_set_value(out, (m[0][2] - m[2][0]) / s, (m[0][1] + m[1][0]) / s, 0.25f * s, (m[1][2] + m[2][1]) / s);
    } else {
        const float s = 2.0f * std::sqrt(1.0f + m[2][2] - m[0][0] - m[1][1]);
        vector4f_set_value(out, (m[1][0] - m[0][1]) / s, (m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, 0.25f * s);
    }
}

void dcm_to_axis_angle(vector4f out, const matrix3f dcm) {
    vector4f q;
    dcm_to_quat(q, dcm);
    quat_to_axis_angle(out, q);
}

void dcm_to_rotation_vector(vector3f out, const matrix3f dcm) {
    vector4f q;
    dcm_to_quat(q, dcm);
    quat_to_rotation_vector(out, q);
}

void dcm_to_euler(vector3f out, const matrix3f m) {
    vector3f_set_value(out, std::atan2(m[1][0], m[0][0]),
                       std::atan2(-m[2][0], std::sqrt(m[0][0] * m[0][0] + m[1][0] * m[1][0])),
                       std::atan2(m[2][1], m[2][2]));
}

void dcm_to_euler_xyz(vector3f out, const matrix3f m) {
    vector3f e;
    dcm_to_euler(e, m);
    vector3f_set_value(out, e[2], e[1], e[0]);
}

void euler_to_dcm(matrix3f out, const vector3f euler) {
    const vector4f rz = {euler[0], 0.0f, 0.0f, 1.0f};
    const vector4f ry = {euler[1], 0.0f, 1.0f, 0.0f};
    const vector4f rx = {euler[2], 1.0f, 0.0f, 0.0f};
    matrix3f z;
    matrix3f y;
    matrix3f x;
    axis_angle_to_dcm(z, rz);
    axis_angle_to_dcm(y, ry);
    axis_angle_to_dcm(x, rx);
    matrix3f_multi_matrix3f(out, z, y);
    matrix3f_multi_matrix3f(out, out, x);
}

void euler_to_quat(vector4f out, const vector3f euler) {
    const float cy = std::cos(0.5f * euler[0]);
    const float sy = std::sin(0.5f * euler[0]);
    const float cp = std::cos(0.5f * euler[1]);
    const float sp = std::sin(0.5f * euler[1]);
    const float cr = std::cos(0.5f * euler[2]);
    const float sr = std::sin(0.5f * euler[2]);
    vector4f_set_value(out,                            //
                       cy * cp * cr + sy * sp * sr,   //
                       cy * cp * sr - sy * sp * cr,   //
                       cy * sp * cr + sy * cp * sr,   //
                       sy * cp * cr - cy * sp * sr);
}
