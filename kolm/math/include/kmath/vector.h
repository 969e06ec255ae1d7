#pragma once
// Vectors of 2, 3 and 4 floats. The output comes first; results may alias inputs.

#include "kmath/types.h"

void vector2f_zero(vector2f v);
void vector3f_zero(vector3f v);
void vector4f_zero(vector4f v);
void vector2f_set_value(vector2f v, float x, float y);
void vector3f_set_value(vector3f v, float x, float y, float z);
void vector4f_set_value(vector4f v, float w, float x, float y, float z);
void vector2f_copy(vector2f out, const vector2f v);
void vector3f_copy(vector3f out, const vector3f v);
void vector4f_copy(vector4f out, const vector4f v);

void vector2f_add(vector2f out, const vector2f a, const vector2f b);
void vector3f_add(vector3f out, const vector3f a, const vector3f b);
void vector4f_add(vector4f out, const vector4f a, const vector4f b);
void vector2f_add3(vector2f out, const vector2f a, const vector2f b, const vector2f c);
void vector3f_add3(vector3f out, const vector3f a, const vector3f b, const vector3f c);
void vector2f_sub(vector2f out, const vector2f a, const vector2f b);
void vector3f_sub(vector3f out, const vector3f a, const vector3f b);
void vector4f_sub(vector4f out, const vector4f a, const vector4f b);

// In place.
void vector2f_scale(vector2f v, float s);
void vector3f_scale(vector3f v, float s);
void vector4f_scale(vector4f v, float s);
void vector2f_multi_scaler(vector2f out, const vector2f v, float s);
void vector3f_multi_scaler(vector3f out, const vector3f v, float s);
void vector4f_multi_scaler(vector4f out, const vector4f v, float s);

// Euclidean length (squares summed in float, root taken in double).
float vector2f_norm(const vector2f v);
float vector3f_norm(const vector3f v);
float vector4f_norm(const vector4f v);
// 1 / length through float_inv_sqrt; finite for a null vector.
float vector2f_inv_norm(const vector2f v);
float vector3f_inv_norm(const vector3f v);
float vector4f_inv_norm(const vector4f v);
void vector2f_normalize(vector2f v);
void vector3f_normalize(vector3f v);
void vector4f_normalize(vector4f v);
// Scales v in place to the given length; nothing for a null pointer or length <= 0.
void vector2f_resize(vector2f v, float length);
void vector3f_resize(vector3f v, float length);

float vector2f_dot_product(const vector2f a, const vector2f b);
float vector3f_dot_product(const vector3f a, const vector3f b);
// a.x * b.y - a.y * b.x
float vector2f_cross_product(const vector2f a, const vector2f b);
void vector3f_cross_product(vector3f out, const vector3f a, const vector3f b);
