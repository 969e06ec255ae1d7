#include "kmath/scalar.h"

#include "kmath/types.h"

#include <cmath>
#include <cstring>

float float_linear_mapping(float input, float x1, float x2, float y1, float y2) {
    if (input <= x1) {
        return y1;
    }
    if (input > x2) {
        return y2;
    }
    return y1 + (input - x1) * (y2 - y1) / (x2 - x1);
}

float float_mean(const float* array, uint8_t n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        sum += array[i];
    }
    return sum / static_cast<float>(n);
}

float float_variance(const float* array, uint8_t n) {
    const float mean = float_mean(array, n);
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float d = array[i] - mean;
        sum += d * d;
    }
    return sum / static_cast<float>(n - 1);
}

float float_inv_sqrt(float x) {
    if (x > kmath::kNearZero || x < -kmath::kNearZero) {
        return 1.0f / std::sqrt(x);
    }
    uint32_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 1597463007u - (bits >> 1);
    float y = 0.0f;
    std::memcpy(&y, &bits, sizeof y);
    const float half = 0.5f * x;
    y = y * (1.5f - half * y * y);
    y = y * (1.5f - half * y * y);
    return y;
}
