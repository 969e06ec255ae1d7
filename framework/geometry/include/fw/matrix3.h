#pragma once
// 3 x 3 matrix of doubles, row-major.

namespace fw {

struct Matrix3 {
    double m[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // m00, m01, m02, m10, ..., m22

    double operator()(int row, int col) const { return m[row * 3 + col]; }
    double& operator()(int row, int col) { return m[row * 3 + col]; }

    static Matrix3 identity();

    // Inverse by the adjugate. Only an exact zero determinant counts as
    // singular: the result is then the zero matrix and *invertible (when
    // given) is false.
    Matrix3 inverse(bool* invertible = nullptr) const;
};

}  // namespace fw
