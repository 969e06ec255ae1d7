#include "kmath/matrix.h"

#include <gtest/gtest.h>

namespace {

void expectMatrixNear(const matrix3f a, const matrix3f b, float tolerance) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(a[i][j], b[i][j], tolerance) << "element " << i << "," << j;
        }
    }
}

}  // namespace

TEST(MatrixFunctions, InverseTimesMatrixIsIdentity) {
    const float cases[][9] = {
        {2, 0, 0, 0, 3, 0, 0, 0, 4},
        {1, 2, 3, 0, 1, 4, 5, 6, 0},
        {0.5f, -1, 2, 3, 0.25f, -2, 1, 1, 1},
    };
    matrix3f eye;
    matrix3f_eye(eye);
    for (const auto& c : cases) {
        matrix3f m;
        matrix3f_set_value(m, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8]);
        matrix3f inv;
        get_matrix3f_inverse(inv, m);
        matrix3f product;
        matrix3f_multi_matrix3f(product, m, inv);
        expectMatrixNear(product, eye, 1e-5f);
    }
    matrix2f m2;
    matrix2f_set_value(m2, 4, 7, 2, 6);
    matrix2f inv2;
    get_matrix2f_inverse(inv2, m2);
    EXPECT_FLOAT_EQ(inv2[0][0], 0.6f);
    EXPECT_FLOAT_EQ(inv2[0][1], -0.7f);
    EXPECT_FLOAT_EQ(inv2[1][0], -0.2f);
    EXPECT_FLOAT_EQ(inv2[1][1], 0.4f);
}

TEST(MatrixFunctions, NearSingularInverseUsesFixedScale) {
    struct Case {
        float det, scale;
    };
    // diag(d, 1, 1): the adjugate is diag(1, d, d)
    for (const Case c : {Case{1e-9f, 1e6f}, Case{0.0f, -1e6f}, Case{-1e-9f, -1e6f}, Case{2.0f, 0.5f}}) {
        matrix3f m;
        matrix3f_set_value(m, c.det, 0, 0, 0, 1, 0, 0, 0, 1);
        EXPECT_FLOAT_EQ(matrix3f_det(m), c.det);
        matrix3f inv;
        get_matrix3f_inverse(inv, m);
        EXPECT_FLOAT_EQ(inv[0][0], c.scale) << "det " << c.det;
        EXPECT_FLOAT_EQ(inv[1][1], c.det * c.scale) << "det " << c.det;
    }
    matrix2f m2;
    matrix2f_set_value(m2, 1e-7f, 0, 0, 1);
    matrix2f inv2;
    get_matrix2f_inverse(inv2, m2);
    EXPECT_FLOAT_EQ(inv2[0][0], 1e6f);
}

TEST(MatrixFunctions, DeterminantsProductsAndTransposes) {
    matrix3f a;
    matrix3f_set_value(a, 1, 2, 3, 4, 5, 6, 7, 8, 10);
    EXPECT_FLOAT_EQ(matrix3f_det(a), -3);
    matrix2f a2;
    matrix2f_set_value(a2, 1, 2, 3, 4);
    EXPECT_FLOAT_EQ(matrix2f_det(a2), -2);

    matrix3f t;
    get_matrix3f_transpose(t, a);
    EXPECT_EQ(t[0][2], 7);
    EXPECT_EQ(t[2][0], 3);
    take_matrix3f_transpose(t);
    expectMatrixNear(t, a, 0);
    take_matrix2f_transpose(a2);
    EXPECT_EQ(a2[0][1], 3);

    matrix3f b;
    matrix3f_set_value(b, 0, 1, 0, -1, 0, 0, 0, 0, 1);
    matrix3f ab;
    matrix3f_multi_matrix3f(ab, a, b);
    matrix3f expected;
    matrix3f_set_value(expected, -2, 1, 3, -5, 4, 6, -8, 7, 10);
    expectMatrixNear(ab, expected, 0);
    // in place: a = a * b
    matrix3f_multi_matrix3f(a, a, b);
    expectMatrixNear(a, expected, 0);

    const vector3f v = {1, -1, 2};
    vector3f mv;
    matrix3f_multi_vector3f(mv, expected, v);
    EXPECT_FLOAT_EQ(mv[0], -2 - 1 + 6);
    EXPECT_FLOAT_EQ(mv[2], -8 - 7 + 20);
    vector3f vm;
    vector3f_multi_matrix3f(vm, v, expected);
    EXPECT_FLOAT_EQ(vm[0], -2 + 5 - 16);
    EXPECT_FLOAT_EQ(vm[1], 1 - 4 + 14);

    matrix3f outer;
    const vector3f w = {3, 0, -1};
    vector3f_multi_vector3f_transpose(outer, v, w);
    EXPECT_EQ(outer[2][0], 6);
    EXPECT_EQ(outer[1][2], 1);

    matrix2f p;
    matrix2f_set_value(p, 1, 2, 3, 4);
    const vector2f u = {1, 1};
    vector2f pu;
    matrix2f_multi_vector2f(pu, p, u);
    EXPECT_EQ(pu[0], 3);
    EXPECT_EQ(pu[1], 7);
    matrix2f pp;
    matrix2f_multi_matrix2f(pp, p, p);
    EXPECT_EQ(pp[0][0], 7);
    EXPECT_EQ(pp[1][1], 22);
}

TEST(MatrixFunctions, ElementWiseArithmetic) {
    matrix3f a;
    matrix3f b;
    matrix3f c;
    matrix3f_eye(a);
    matrix3f_set_value(b, 1, 2, 3, 4, 5, 6, 7, 8, 9);
    matrix3f_zero(c);
    c[1][2] = 10;
    matrix3f sum;
    matrix3f_add3(sum, a, b, c);
    EXPECT_EQ(sum[0][0], 2);
    EXPECT_EQ(sum[1][2], 16);
    matrix3f diff;
    matrix3f_sub(diff, b, a);
    EXPECT_EQ(diff[2][2], 8);
    matrix3f scaled;
    matrix3f_multi_scaler(scaled, b, 2);
    EXPECT_EQ(scaled[2][1], 16);
    matrix3f_scale(b, -1);
    EXPECT_EQ(b[0][1], -2);
    matrix2f m;
    matrix2f n;
    matrix2f_eye(m);
    matrix2f_copy(n, m);
    matrix2f_add(m, m, n);
    EXPECT_EQ(m[1][1], 2);
    EXPECT_EQ(m[0][1], 0);
}
