#pragma once
// 2 x 2 and 3 x 3 float matrices, row-major. The output comes first; products
// may alias their inputs.

#include "kmath/types.h"

void matrix2f_zero(matrix2f m);
void matrix3f_zero(matrix3f m);
void matrix2f_eye(matrix2f m);
void matrix3f_eye(matrix3f m);
// Elements in row order.
void matrix2f_set_value(matrix2f m, float m00, float m01, float m10, float m11);
void matrix3f_set_value(matrix3f m, float m00, float m01, float m02, float m10, float m11, float m12, float m20,
                        float m21, float m22);
void matrix2f_copy(matrix2f out, const matrix2f m);
void matrix3f_copy(matrix3f out, const matrix3f m);

void matrix2f_add(matrix2f out, const matrix2f a, const matrix2f b);
void matrix3f_add(matrix3f out, const matrix3f a, const matrix3f b);
void matrix3f_add3(matrix3f out, const matrix3f a, const matrix3f b, const matrix3f c);
void matrix2f_sub(matrix2f out, const matrix2f a, const matrix2f b);
void matrix3f_sub(matrix3f out, const matrix3f a, const matrix3f b);

// In place.
void matrix2f_scale(matrix2f m, float s);
void matrix3f_scale(matrix3f m, float s);
void matrix2f_multi_scaler(matrix2f out, const matrix2f m, float s);
void matrix3f_multi_scaler(matrix3f out, const matrix3f m, float s);

void get_matrix2f_transpose(matrix2f out, const matrix2f m);
void get_matrix3f_transpose(matrix3f out, const matrix3f m);
void take_matrix2f_transpose(matrix2f m);
void take_matrix3f_transpose(matrix3f m);

float matrix2f_det(const matrix2f m);
float matrix3f_det(const matrix3f m);
// Adjugate times 1 / det; a determinant within 1e-6 of zero scales by +-1e6 instead.
void get_matrix2f_inverse(matrix2f out, const matrix2f m);
void get_matrix3f_inverse(matrix3f out, const matrix3f m);

void matrix2f_multi_matrix2f(matrix2f out, const matrix2f a, const matrix2f b);
void matrix3f_multi_matrix3f(matrix3f out, const matrix3f a, const matrix3f b);
void matrix2f_multi_vector2f(vector2f out, const matrix2f m, const vector2f v);
void matrix3f_multi_vector3f(vector3f out, const matrix3f m, const vector3f v);
// v^T * m
void vector3f_multi_matrix3f(vector3f out, const vector3f v, const matrix3f m);
// Outer product a * b^T.
void vector2f_multi_vector2f_transpose(matrix2f out, const vector2f a, const vector2f b);
void vector3f_multi_vector3f_transpose(matrix3f out, const vector3f a, const vector3f b);
