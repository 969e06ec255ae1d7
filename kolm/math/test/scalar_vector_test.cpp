#include "kmath/scalar.h"
#include "kmath/vector.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(ScalarFunctions, LinearMappingClampsAndInterpolates) {
    struct Case {
        float input, x1, x2, y1, y2, expected;
    };
    const Case cases[] = {
        {5, 0, 10, 0, 100, 50},     {0, 0, 10, 0, 100, 0},    {-3, 0, 10, 0, 100, 0},
        {10, 0, 10, 0, 100, 100},   {11, 0, 10, 0, 100, 100}, {2.5f, 0, 10, 100, 0, 75},
        {1, 1, 1, 7, 9, 7},         {2, 1, 1, 7, 9, 9},
    };
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(float_linear_mapping(c.input, c.x1, c.x2, c.y1, c.y2), c.expected) << "input " << c.input;
    }
}

TEST(ScalarFunctions, MeanAndSampleVariance) {
    const float values[] = {2, 4, 4, 4, 5, 5, 7, 9};
    EXPECT_FLOAT_EQ(float_mean(values, 8), 5.0f);
    EXPECT_FLOAT_EQ(float_variance(values, 8), 32.0f / 7.0f);
    EXPECT_FLOAT_EQ(float_mean(values, 1), 2.0f);
    EXPECT_TRUE(std::isnan(float_mean(values, 0)));
}

TEST(ScalarFunctions, InverseSquareRootStaysFiniteNearZero) {
    EXPECT_FLOAT_EQ(float_inv_sqrt(4.0f), 0.5f);
    EXPECT_FLOAT_EQ(float_inv_sqrt(1e-16f), 1e8f);
    for (float x : {0.0f, 1e-18f, 1e-30f, -0.0f, -1e-18f}) {
        const float y = float_inv_sqrt(x);
        EXPECT_TRUE(std::isfinite(y)) << x;
        EXPECT_GT(y, 0.0f) << x;
    }
    EXPECT_GT(float_inv_sqrt(0.0f), 1e18f);
}

TEST(VectorFunctions, NormsAndNormalisation) {
    const vector2f a = {3, 4};
    const vector3f b = {2, 3, 6};
    const vector4f c = {1, 1, 1, 1};
    EXPECT_FLOAT_EQ(vector2f_norm(a), 5);
    EXPECT_FLOAT_EQ(vector3f_norm(b), 7);
    EXPECT_FLOAT_EQ(vector4f_norm(c), 2);
    EXPECT_FLOAT_EQ(vector3f_inv_norm(b), 1.0f / 7);

    vector3f n = {2, 3, 6};
    vector3f_normalize(n);
    EXPECT_FLOAT_EQ(n[0], 2.0f / 7);
    EXPECT_FLOAT_EQ(n[2], 6.0f / 7);
    vector4f q = {1, 1, 1, 1};
    vector4f_normalize(q);
    EXPECT_FLOAT_EQ(q[3], 0.5f);

    vector3f zero = {0, 0, 0};
    vector3f_normalize(zero);
    for (float v : zero) {
        EXPECT_EQ(v, 0.0f);
    }
}

TEST(VectorFunctions, ResizeIgnoresNullAndNonPositiveLengths) {
    vector2f v = {3, 4};
    vector2f_resize(v, 10);
    EXPECT_FLOAT_EQ(v[0], 6);
    EXPECT_FLOAT_EQ(v[1], 8);
    vector2f_resize(v, 0);
    vector2f_resize(v, -1);
    EXPECT_FLOAT_EQ(v[0], 6);
    vector2f_resize(nullptr, 3);
    vector3f w = {0, 0, 2};
    vector3f_resize(w, 0.5f);
    EXPECT_FLOAT_EQ(w[2], 0.5f);
}

TEST(VectorFunctions, ArithmeticAndProducts) {
    const vector3f a = {1, 2, 3};
    const vector3f b = {-2, 0.5f, 4};
    const vector3f c = {10, 20, 30};
    vector3f out;
    vector3f_add3(out, a, b, c);
    EXPECT_FLOAT_EQ(out[1], 22.5f);
    vector3f_sub(out, a, b);
    EXPECT_FLOAT_EQ(out[0], 3);
    vector3f_multi_scaler(out, a, -2);
    EXPECT_FLOAT_EQ(out[2], -6);
    EXPECT_FLOAT_EQ(vector3f_dot_product(a, b), -2 + 1 + 12);

    vector3f cross;
    vector3f_cross_product(cross, a, b);
    EXPECT_FLOAT_EQ(cross[0], 2 * 4 - 3 * 0.5f);
    EXPECT_FLOAT_EQ(cross[1], 3 * -2 - 1 * 4);
    EXPECT_FLOAT_EQ(cross[2], 1 * 0.5f - 2 * -2);
    // the output may be one of the inputs
    vector3f x = {1, 0, 0};
    const vector3f y = {0, 1, 0};
    vector3f_cross_product(x, x, y);
    EXPECT_FLOAT_EQ(x[2], 1);
    EXPECT_FLOAT_EQ(x[0], 0);

    const vector2f p = {1, 2};
    const vector2f q = {3, 5};
    EXPECT_FLOAT_EQ(vector2f_cross_product(p, q), 1 * 5 - 2 * 3);
    vector4f s = {1, 2, 3, 4};
    vector4f_scale(s, 0.5f);
    EXPECT_FLOAT_EQ(s[3], 2);
}
