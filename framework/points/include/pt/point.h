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
    // Widening from another coordinate type (a Point3d from a Point3f).
    template <typename U>
    explicit Point3_(const Point3_<U>& o)
        : x(static_cast<T>(o.x)), y(static_cast<T>(o.y)), z(static_cast<T>(o.z)) {}
};

using Point2d = Point2_<double>;
using Point2f = Point2_<float>;
using Point3d = Point3_<double>;
using Point3f = Point3_<float>;
using Point3ub = Point3_<unsigned char>;

}  // namespace pt
