#include "kmath/vector.h"

#include "kmath/scalar.h"

#include <cmath>

namespace {

template <int N>
void setZero(float* v) {
    for (int i = 0; i < N; ++i) {
        v[i] = 0.0f;
    }
}

template <int N>
void copyOf(float* out, const float* v) {
    for (int i = 0; i < N; ++i) {
        out[i] = v[i];
    }
}

template <int N>
void addOf(float* out, const float* a, const float* b) {
    for (int i = 0; i < N; ++i) {
        out[i] = a[i] + b[i];
    }
}

template <int N>
void add3Of(float* out, const float* a, const float* b, const float* c) {
    for (int i = 0; i < N; ++i) {
        out[i] = a[i] + b[i] + c[i];
    }
}

template <int N>
void subOf(float* out, const float* a, const float* b) {
    for (int i = 0; i < N; ++i) {
        out[i] = a[i] - b[i];
    }
}

template <int N>
void scaledOf(float* out, const float* v, float s) {
    for (int i = 0; i < N; ++i) {
        out[i] = v[i] * s;
    }
}

template <int N>
float squaredSum(const float* v) {
    float sum = 0.0f;
    for (int i = 0; i < N; ++i) {
        sum += v[i] * v[i];
    }
    return sum;
}

template <int N>
float normOf(const float* v) {
    return static_cast<float>(std::sqrt(static_cast<double>(squaredSum<N>(v))));
}

template <int N>
float invNormOf(const float* v) {
    return float_inv_sqrt(squaredSum<N>(v));
}

template <int N>
void resizeOf(float* v, float length) {
    if (v == nullptr || length <= 0.0f) {
        return;
    }
    scaledOf<N>(v, v, length * invNormOf<N>(v));
}

}  // namespace

void vector2f_zero(vector2f v) { setZero<2>(v); }
void vector3f_zero(vector3f v) { setZero<3>(v); }
void vector4f_zero(vector4f v) { setZero<4>(v); }

void vector2f_set_value(vector2f v, float x, float y) {
    v[0] = x;
    v[1] = y;
}

void vector3f_set_value(vector3f v, float x, float y, float z) {
    v[0] = x;
    v[1] = y;
    v[2] = z;
}

void vector4f_set_value(vector4f v, float w, float x, float y, float z) {
    v[0] = w;
    v[1] = x;
    v[2] = y;
    v[3] = z;
}

void vector2f_copy(vector2f out, const vector2f v) { copyOf<2>(out, v); }
void vector3f_copy(vector3f out, const vector3f v) { copyOf<3>(out, v); }
void vector4f_copy(vector4f out, const vector4f v) { copyOf<4>(out, v); }

void vector2f_add(vector2f out, const vector2f a, const vector2f b) { addOf<2>(out, a, b); }
void vector3f_add(vector3f out, const vector3f a, const vector3f b) { addOf<3>(out, a, b); }
void vector4f_add(vector4f out, const vector4f a, const vector4f b) { addOf<4>(out, a, b); }
void vector2f_add3(vector2f out, const vector2f a, const vector2f b, const vector2f c) { add3Of<2>(out, a, b, c); }
void vector3f_add3(vector3f out, const vector3f a, const vector3f b, const vector3f c) { add3Of<3>(out, a, b, c); }
void vector2f_sub(vector2f out, const vector2f a, const vector2f b) { subOf<2>(out, a, b); }
void vector3f_sub(vector3f out, const vector3f a, const vector3f b) { subOf<3>(out, a, b); }
void vector4f_sub(vector4f out, const vector4f a, const vector4f b) { subOf<4>(out, a, b); }

void vector2f_scale(vector2f v, float s) { scaledOf<2>(v, v, s); }
void vector3f_scale(vector3f v, float s) { scaledOf<3>(v, v, s); }
void vector4f_scale(vector4f v, float s) { scaledOf<4>(v, v, s); }
void vector2f_multi_scaler(vector2f out, const vector2f v, float s) { scaledOf<2>(out, v, s); }
void vector3f_multi_scaler(vector3f out, const vector3f v, float s) { scaledOf<3>(out, v, s); }
void vector4f_multi_scaler(vector4f out, const vector4f v, float s) { scaledOf<4>(out, v, s); }

float vector2f_norm(const vector2f v) { return normOf<2>(v); }
float vector3f_norm(const vector3f v) { return normOf<3>(v); }
float vector4f_norm(const vector4f v) { return normOf<4>(v); }
float vector2f_inv_norm(const vector2f v) { return invNormOf<2>(v); }
float vector3f_inv_norm(const vector3f v) { return invNormOf<3>(v); }
float vector4f_inv_norm(const vector4f v) { return invNormOf<4>(v); }
void vector2f_normalize(vector2f v) { scaledOf<2>(v, v, invNormOf<2>(v)); }
void vector3f_normalize(vector3f v) { scaledOf<3>(v, v, invNormOf<3>(v)); }
void vector4f_normalize(vector4f v) { scaledOf<4>(v, v, invNormOf<4>(v)); }
void vector2f_resize(vector2f v, float length) { resizeOf<2>(v, length); }
void vector3f_resize(vector3f v, float length) { resizeOf<3>(v, length); }

float vector2f_dot_product(const vector2f a, const vector2f b) { return a[0] * b[0] + a[1] * b[1]; }

float vector3f_dot_product(const vector3f a, const vector3f b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

float vector2f_cross_product(const vector2f a, const vector2f b) { return a[0] * b[1] - a[1] * b[0]; }

void vector3f_cross_product(vector3f out, const vector3f a, const vector3f b) {
    const float x = a[1] * b[2] - a[2] * b[1];
    const float y = a[2] * b[0] - a[0] * b[2];
    const float z = a[0] * b[1] - a[1] * b[0];
    vector3f_set_value(out, x, y, z);
}
