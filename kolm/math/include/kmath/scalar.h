#pragma once
// Scalar helpers.

#include <cstdint>

// y1 for input <= x1, y2 for input > x2, the straight line between otherwise.
float float_linear_mapping(float input, float x1, float x2, float y1, float y2);
// Arithmetic mean of n values (NaN for n = 0).
float float_mean(const float* array, uint8_t n);
// Sum of squared deviations from the mean over n - 1.
float float_variance(const float* array, uint8_t n);
// 1 / sqrt(x); near zero the bit-level approximation, which stays finite.
float float_inv_sqrt(float x);
