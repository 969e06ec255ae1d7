#include "fw/matrix3.h"

namespace fw {

Matrix3 Matrix3::identity() {
    Matrix3 r;
    r.m[0] = r.m[4] = r.m[8] = 1.0;
    return r;
}

Matrix3 Matrix3::inverse(bool* invertible) const {
    const double* a = m;
    // Cofactors of the first row.
    const double c00 = a[4] * a[8] - a[5] * a[7];
    const double c01 = a[3] * a[8] - a[5] * a[6];
    const double c02 = a[3] * a[7] - a[4] * a[6];
    const double det = a[0] * c00 - a[1] * c01 + a[2] * c02;

    Matrix3 r;
    if (det == 0.0) {
        if (invertible) *invertible = false;
        return r;
    }
    const double k = 1.0 / det;
    r.m[0] = c00 * k;
    r.m[1] = (a[2] * a[7] - a[1] * a[8]) * k;
    r.m[2] = (a[1] * a[5] - a[2] * a[4]) * k;
    r.m[3] = -c01 * k;
    r.m[4] = (a[0] * a[8] - a[2] * a[6]) * k;
    r.m[5] = (a[2] * a[3] - a[0] * a[5]) * k;
    r.m[6] = c02 * k;
    r.m[7] = (a[1] * a[6] - a[0] * a[7]) * k;
    r.m[8] = (a[0] * a[4] - a[1] * a[3]) * k;
    if (invertible) *invertible = true;
    return r;
}

}  // namespace fw
