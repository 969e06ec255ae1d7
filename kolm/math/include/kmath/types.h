#pragma once
// Fixed-size single-precision arrays of the maths library. Matrices are row-major.

using vector2f = float[2];
using vector3f = float[3];
using vector4f = float[4];
using matrix2f = float[2][2];
using matrix3f = float[3][3];

// Constants shared by the maths functions.
namespace kmath {
constexpr double kEarthRadius = 6378137.0;
constexpr double kRadToDeg = 57.29577951308232;
constexpr float kPi = 3.1415927f;
constexpr float kNearZero = 1e-17f;
constexpr float kDetBound = 1e-6f;
}  // namespace kmath
