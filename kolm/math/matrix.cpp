#include "kmath/matrix.h"

namespace {

template <int N>
void fill(float (*m)[N], float value) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            m[i][j] = value;
        }
    }
}

template <int N>
void eye(float (*m)[N]) {
    fill<N>(m, 0.0f);
    for (int i = 0; i < N; ++i) {
        m[i][i] = 1.0f;
    }
}

template <int N>
void copyOf(float (*out)[N], const float (*m)[N]) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            out[i][j] = m[i][j];
        }
    }
}

template <int N>
void addOf(float (*out)[N], const float (*a)[N], const float (*b)[N]) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            out[i][j] = a[i][j] + b[i][j];
        }
    }
}

template <int N>
void subOf(float (*out)[N], const float (*a)[N], const float (*b)[N]) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            out[i][j] = a[i][j] - b[i][j];
        }
    }
}

template <int N>
void scaledOf(float (*out)[N], const float (*m)[N], float s) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            out[i][j] = m[i][j] * s;
        }
    }
}

template <int N>
void transposeOf(float (*out)[N], const float (*m)[N]) {
    float t[N][N];
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            t[j][i] = m[i][j];
        }
    }
    copyOf<N>(out, t);
}

template <int N>
void productOf(float (*out)[N], const float (*a)[N], const float (*b)[N]) {
    float t[N][N];
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < N; ++k) {
                sum += a[i][k] * b[k][j];
            }
            t[i][j] = sum;
        }
    }
    copyOf<N>(out, t);
}

template <int N>
void timesVector(float* out, const float (*m)[N], const float* v) {
    float t[N];
    for (int i = 0; i < N; ++i) {
        float sum = 0.0f;
        for (int k = 0; k < N; ++k) {
            sum += m[i][k] * v[k];
        }
        t[i] = sum;
    }
    for (int i = 0; i < N; ++i) {
        out[i] = t[i];
    }
}

template <int N>
void outerOf(float (*out)[N], const float* a, const float* b) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            out[i][j] = a[i] * b[j];
        }
    }
}

float inverseScale(float det) {
    if (det > 0.0f && det < kmath::kDetBound) {
        return 1e6f;
    }
    if (det > -kmath::kDetBound && det <= 0.0f) {
        return -1e6f;
    }
    return 1.0f / det;
}

}  // namespace

void matrix2f_zero(matrix2f m) { fill<2>(m, 0.0f); }
void matrix3f_zero(matrix3f m) { fill<3>(m, 0.0f); }
void matrix2f_eye(matrix2f m) { eye<2>(m); }
void matrix3f_eye(matrix3f m) { eye<3>(m); }

void matrix2f_set_value(matrix2f m, float m00, float m01, float m10, float m11) {
    m[0][0] = m00;
    m[0][1] = m01;
    m[1][0] = m10;
    m[1][1] = m11;
}

void matrix3f_set_value(matrix3f m, float m00, float m01, float m02, float m10, float m11, float m12, float m20,
                        float m21, float m22) {
    m[0][0] = m00;
    m[0][1] = m01;
    m[0][2] = m02;
    m[1][0] = m10;
    m[1][1] = m11;
    m[1][2] = m12;
    m[2][0] = m20;
    m[2][1] = m21;
    m[2][2] = m22;
}

void matrix2f_copy(matrix2f out, const matrix2f m) { copyOf<2>(out, m); }
void matrix3f_copy(matrix3f out, const matrix3f m) { copyOf<3>(out, m); }

void matrix2f_add(matrix2f out, const matrix2f a, const matrix2f b) { addOf<2>(out, a, b); }
void matrix3f_add(matrix3f out, const matrix3f a, const matrix3f b) { addOf<3>(out, a, b); }

void matrix3f_add3(matrix3f out, const matrix3f a, const matrix3f b, const matrix3f c) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out[i][j] = a[i][j] + b[i][j] + c[i][j];
        }
    }
}

void matrix2f_sub(matrix2f out, const matrix2f a, const matrix2f b) { subOf<2>(out, a, b); }
void matrix3f_sub(matrix3f out, const matrix3f a, const matrix3f b) { subOf<3>(out, a, b); }

void matrix2f_scale(matrix2f m, float s) { scaledOf<2>(m, m, s); }
void matrix3f_scale(matrix3f m, float s) { scaledOf<3>(m, m, s); }
void matrix2f_multi_scaler(matrix2f out, const matrix2f m, float s) { scaledOf<2>(out, m, s); }
void matrix3f_multi_scaler(matrix3f out, const matrix3f m, float s) { scaledOf<3>(out, m, s); }

void get_matrix2f_transpose(matrix2f out, const matrix2f m) { transposeOf<2>(out, m); }
void get_matrix3f_transpose(matrix3f out, const matrix3f m) { transposeOf<3>(out, m); }
void take_matrix2f_transpose(matrix2f m) { transposeOf<2>(m, m); }
void take_matrix3f_transpose(matrix3f m) { transposeOf<3>(m, m); }

float matrix2f_det(const matrix2f m) { return m[0][0] * m[1][1] - m[0][1] * m[1][0]; }

float matrix3f_det(const matrix3f m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void get_matrix2f_inverse(matrix2f out, const matrix2f m) {
    const float s = inverseScale(matrix2f_det(m));
    matrix2f adj;
    matrix2f_set_value(adj, m[1][1], -m[0][1], -m[1][0], m[0][0]);
    scaledOf<2>(out, adj, s);
}

void get_matrix3f_inverse(matrix3f out, const matrix3f m) {
    const float s = inverseScale(matrix3f_det(m));
    matrix3f adj;
    adj[0][0] = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    adj[0][1] = m[0][2] * m[2][1] - m[0][1] * m[2][2];
    adj[0][2] = m[0][1] * m[1][2] - m[0][2] * m[1][1];
    adj[1][0] = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    adj[1][1] = m[0][0] * m[2][2] - m[0][2] * m[2][0];
    adj[1][2] = m[0][2] * m[1][0] - m[0][0] * m[1][2];
    adj[2][0] = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    adj[2][1] = m[0][1] * m[2][0] - m[0][0] * m[2][1];
    adj[2][2] = m[0][0] * m[1][1] - m[0][1] * m[1][0];
    scaledOf<3>(out, adj, s);
}

void matrix2f_multi_matrix2f(matrix2f out, const matrix2f a, const matrix2f b) { productOf<2>(out, a, b); }
void matrix3f_multi_matrix3f(matrix3f out, const matrix3f a, const matrix3f b) { productOf<3>(out, a, b); }
void matrix2f_multi_vector2f(vector2f out, const matrix2f m, const vector2f v) { timesVector<2>(out, m, v); }
void matrix3f_multi_vector3f(vector3f out, const matrix3f m, const vector3f v) { timesVector<3>(out, m, v); }

void vector3f_multi_matrix3f(vector3f out, const vector3f v, const matrix3f m) {
    float t[3];
    for (int j = 0; j < 3; ++j) {
        t[j] = v[0] * m[0][j] + v[1] * m[1][j] + v[2] * m[2][j];
    }
    for (int j = 0; j < 3; ++j) {
        out[j] = t[j];
    }
}

void vector2f_multi_vector2f_transpose(matrix2f out, const vector2f a, const vector2f b) { outerOf<2>(out, a, b); }
void vector3f_multi_vector3f_transpose(matrix3f out, const vector3f a, const vector3f b) { outerOf<3>(out, a, b); }
