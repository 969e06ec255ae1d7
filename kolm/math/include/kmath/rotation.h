#pragma once
// Rotations in radians: axis-angle (angle, x, y, z), rotation vector (axis * angle),
// quaternion (w, x, y, z), direction-cosine matrix R (turns v into R * v) and
// Euler vector (yaw, pitch, roll) meaning R = Rz(yaw) * Ry(pitch) * Rx(roll).

#include "kmath/types.h"

// In place: a non-negative angle below 2 pi about a unit axis; a null axis gives
// angle 0 about (0, 0, 1).
void axis_angle_regulator(vector4f axis_angle);
void axis_angle_to_rotation_vector(vector3f out, const vector4f axis_angle);
void axis_angle_to_quat(vector4f out, const vector4f axis_angle);
// Rodrigues' formula; the axis is used as given.
void axis_angle_to_dcm(matrix3f out, const vector4f axis_angle);

void rotation_vector_to_axis_angle(vector4f out, const vector3f rotation_vector);
void rotation_vector_to_quat(vector4f out, const vector3f rotation_vector);
void rotation_vector_to_dcm(matrix3f out, const vector3f rotation_vector);
// Rz(theta).
void rotation_vector_z_to_dcm(matrix3f out, float theta);

void quat_to_axis_angle(vector4f out, const vector4f quat);
void quat_to_rotation_vector(vector3f out, const vector4f quat);
// Tilt angles about x and y of a quaternion (w, x, y, .) without torsion.
void tilt_quat_to_angle(float& theta_x, float& theta_y, const vector4f quat);
// Angle about z of a quaternion (w, ., ., z) without tilt.
void torsion_quat_to_angle(float& theta_z, const vector4f quat);
void quat_to_dcm(matrix3f out, const vector4f quat);
void quat_to_euler(vector3f out, const vector4f quat);

void dcm_to_quat(vector4f out, const matrix3f dcm);
void dcm_to_axis_angle(vector4f out, const matrix3f dcm);
void dcm_to_rotation_vector(vector3f out, const matrix3f dcm);
// (yaw, pitch, roll)
void dcm_to_euler(vector3f out, const matrix3f dcm);
// (roll, pitch, yaw)
void dcm_to_euler_xyz(vector3f out, const matrix3f dcm);

// Rz(e[0]) * Ry(e[1]) * Rx(e[2]) for e = (yaw, pitch, roll).
void euler_to_dcm(matrix3f out, const vector3f euler);
void euler_to_quat(vector4f out, const vector3f euler);
