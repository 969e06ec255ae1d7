#pragma once
// Camera models: a point of the camera frame (x right, y down, z forward) to
// a pixel, and a pixel back to a ray on the plane z = 1. Operations never
// throw: a point behind the camera projects to (-1, -1).

#include "pt/point.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fw {

// A camera's calibration as plain values: the picture size, the pinhole
// part and the model's distortion terms (OpenCV: k1, k2, p1, p2, k3; ATAN:
// d; none for a pinhole or ideal camera).
struct Intrinsics {
    double width = -1, height = -1;
    bool hasPinhole = false;  // fx, fy, cx and cy were given
    double fx = 0, fy = 0, cx = 0, cy = 0;
    std::vector<double> distortion;

    // From a parameter vector [width, height, fx, fy, cx, cy, distortion...];
    // missing values keep their defaults.
    static Intrinsics fromParameters(const std::vector<double>& p);
    // The parameter vector that CameraImpl::create takes.
    std::vector<double> parameters() const;
    // Whether any distortion term is not zero.
    bool distorted() const;
};

// The base class is an invalid camera by itself.
class CameraImpl {
public:
    CameraImpl() = default;
    CameraImpl(int32_t w, int32_t h) : width(w), height(h) {}

    // Picks the model by the number of values: 2 Ideal, 6 PinHole, 7 ATAN,
    // 11 OpenCV (width, height, then the model's parameters in the order of
    // its parameter vector); any other count gives an invalid -1 x -1 camera.
    static std::shared_ptr<CameraImpl> create(const std::vector<double>& p);

    virtual std::string typeName() const;
    virtual bool isValid() const;
    virtual pt::Point2d project(const pt::Point3d& p) const;
    virtual pt::Point3d unproject(const pt::Point2d& p) const;
    virtual std::vector<double> parameterVector() const;
    virtual bool scaleBy(double s);
    // "<type>:[v0,v1,...]" with the parameter values in the default stream format.
    std::string info() const;
    // The parameter vector as plain values.
    Intrinsics intrinsics() const { return Intrinsics::fromParameters(parameterVector()); }

    // Last in the table, so that the slots above keep their order.
    virtual ~CameraImpl() = default;

    int32_t width = -1, height = -1;
};

class CameraIdeal : public CameraImpl {
public:
    CameraIdeal(int32_t w, int32_t h) : CameraImpl(w, h) {}

    std::string typeName() const override;
    bool isValid() const override;
    pt::Point2d project(const pt::Point3d& p) const override;
    pt::Point3d unproject(const pt::Point2d& p) const override;
    std::vector<double> parameterVector() const override;
    bool scaleBy(double s) override;
};

class CameraPinhole : public CameraImpl {
public:
    CameraPinhole(int32_t w, int32_t h, double fx, double fy, double cx, double cy);

    std::string typeName() const override;
    bool isValid() const override;
    pt::Point2d project(const pt::Point3d& p) const override;
    pt::Point3d unproject(const pt::Point2d& p) const override;
    std::vector<double> parameterVector() const override;
    bool scaleBy(double s) override;

    double fx = 0, fy = 0, cx = 0, cy = 0;
    double fxInv = 0, fyInv = 0;
};

// Field-of-view distortion model with parameter d (radians).
class CameraATAN : public CameraImpl {
public:
    CameraATAN(int32_t w, int32_t h, double fx, double fy, double cx, double cy, double d);

    std::string typeName() const override;
    bool isValid() const override;
    pt::Point2d project(const pt::Point3d& p) const override;
    pt::Point3d unproject(const pt::Point2d& p) const override;
    std::vector<double> parameterVector() const override;
    bool scaleBy(double s) override;
    // Refreshes the derived values; focal lengths below 1 on both axes are
    // taken relative to the image size first. 0 on success, -1 or -2 when
    // the camera is not valid.
    virtual int updateDerivedValues();

    double fx = 0, fy = 0, cx = 0, cy = 0, d = 0;
    double fxInv = 0, fyInv = 0;
    double tan2w = 0;     // 2 tan(d / 2)
    double dInv = 0;      // 1 / d
    double tan2wInv = 0;  // 1 / (2 tan(d / 2))
    bool useDistortion = false;
};

// OpenCV's five-coefficient model: radial k1, k2, k3 and tangential p1, p2.
class CameraOpenCV : public CameraImpl {
public:
    CameraOpenCV(int32_t w, int32_t h, double fx, double fy, double cx, double cy, double k1,
                 double k2, double p1, double p2, double k3);

    std::string typeName() const override;
    bool isValid() const override;
    pt::Point2d project(const pt::Point3d& p) const override;
    // Five fixed-point iterations.
    pt::Point3d unproject(const pt::Point2d& p) const override;
    std::vector<double> parameterVector() const override;
    bool scaleBy(double s) override;
    // Refreshes 1/fx and 1/fy: 0 on success, -1 or -2 when not valid.
    int refresh();

    double fx = 0, fy = 0, cx = 0, cy = 0;
    double fxInv = 0, fyInv = 0;
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
};

}  // namespace fw
