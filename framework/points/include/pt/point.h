#pragma once
// Plain coordinate records.

namespace pt {

template <typename T>
struct Point2_ {
    T x{}, y{};
    Point2_() = default;
    Point2_(T x_, T y_) : x(x_), y(y_) {}
};

template <typename T>
struct Point3_ {
    T x{}, y{}, z{};
    Point3_() = default;
    Point3_(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}
};

using Point2d = Point2_<double>;
using Point2f = Point2_<float>;
using Point3d = Point3_<double>;
using Point3f = Point3_<float>;
using Point3ub = Point3_<unsigned char>;

}  // namespace pt
