#include "fw/camera.h"

#include <cmath>
#include <iostream>
#include <sstream>

namespace fw {

namespace {

// Truncation toward zero; false when the value has no int32 form (NaN included).
bool truncToInt32(double v, int32_t& out) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
    out = static_cast<int32_t>(v);
    return true;
}

int32_t sizeFrom(double v) {
    int32_t out = -1;
    return truncToInt32(v, out) ? out : -1;
}

// Width >= 1, height >= 1 and non-zero focal lengths.
bool ruleV(const CameraImpl& c, double fx, double fy) {
    return c.width >= 1 && c.height >= 1 && fx != 0 && fy != 0;
}

// Scales the size; false (nothing changed) when the new size has no int32 form.
bool scaleSize(CameraImpl& c, double s) {
    int32_t w = 0, h = 0;
    if (!truncToInt32(c.width * s, w) || !truncToInt32(c.height * s, h)) return false;
    c.width = w;
    c.height = h;
    return true;
}

void reportInvalid(const CameraImpl& c) {
    std::cout << "Camera not valid!Info:" << c.info() << std::endl;
}

}  // namespace

std::shared_ptr<CameraImpl> CameraImpl::create(const std::vector<double>& p) {
    switch (p.size()) {
    case 2:
        return std::make_shared<CameraIdeal>(sizeFrom(p[0]), sizeFrom(p[1]));
    case 6:
        return std::make_shared<CameraPinhole>(sizeFrom(p[0]), sizeFrom(p[1]), p[2], p[3], p[4],
                                               p[5]);
    case 7:
        return std::make_shared<CameraATAN>(sizeFrom(p[0]), sizeFrom(p[1]), p[2], p[3], p[4],
                                            p[5], p[6]);
    case 11:
        return std::make_shared<CameraOpenCV>(sizeFrom(p[0]), sizeFrom(p[1]), p[2], p[3], p[4],
                                              p[5], p[6], p[7], p[8], p[9], p[10]);
    default:
        return std::make_shared<CameraImpl>(-1, -1);
    }
}

std::string CameraImpl::typeName() const { return "NoCamera"; }
bool CameraImpl::isValid() const { return false; }
pt::Point2d CameraImpl::project(const pt::Point3d&) const { return {-1, -1}; }
pt::Point3d CameraImpl::unproject(const pt::Point2d&) const { return {0, 0, 0}; }
Intrinsics Intrinsics::fromParameters(const std::vector<double>& p) {
    Intrinsics k;
    if (p.size() >= 2) {
        k.width = p[0];
        k.height = p[1];
    }
    if (p.size() >= 6) {
        k.hasPinhole = true;
        k.fx = p[2];
        k.fy = p[3];
        k.cx = p[4];
        k.cy = p[5];
        k.distortion.assign(p.begin() + 6, p.end());
    }
    return k;
}

std::vector<double> Intrinsics::parameters() const {
    if (!hasPinhole) return {width, height};
    std::vector<double> p = {width, height, fx, fy, cx, cy};
    p.insert(p.end(), distortion.begin(), distortion.end());
    return p;
}

bool Intrinsics::distorted() const {
    for (double term : distortion)
        if (term != 0.0) return true;
    return false;
}

std::vector<double> CameraImpl::parameterVector() const { return {}; }
bool CameraImpl::scaleBy(double) { return false; }

std::string CameraImpl::info() const {
    std::ostringstream out;
    out << typeName() << ":[";
    const std::vector<double> values = parameterVector();
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out << ',';
        out << values[i];
    }
    out << ']';
    return out.str();
}

// Ideal

std::string CameraIdeal::typeName() const { return "Ideal"; }
bool CameraIdeal::isValid() const { return true; }

pt::Point2d CameraIdeal::project(const pt::Point3d& p) const {
    const double iz = 1.0 / p.z;
    return {p.x * iz, p.y * iz};
}

pt::Point3d CameraIdeal::unproject(const pt::Point2d& p) const { return {p.x, p.y, 1.0}; }

std::vector<double> CameraIdeal::parameterVector() const {
    return {double(width), double(height)};
}

bool CameraIdeal::scaleBy(double) { return false; }

// PinHole

CameraPinhole::CameraPinhole(int32_t w, int32_t h, double fx_, double fy_, double cx_, double cy_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_) {
    if (isValid()) {
        fxInv = 1.0 / fx;
        fyInv = 1.0 / fy;
    }
}

std::string CameraPinhole::typeName() const { return "PinHole"; }
bool CameraPinhole::isValid() const { return ruleV(*this, fx, fy); }

pt::Point2d CameraPinhole::project(const pt::Point3d& p) const {
    if (p.z == 1.0) return {fx * p.x + cx, fy * p.y + cy};
    if (!(p.z > 0)) return {-1, -1};
    return {fx * p.x / p.z + cx, fy * p.y / p.z + cy};
}

pt::Point3d CameraPinhole::unproject(const pt::Point2d& p) const {
    return {(p.x - cx) * fxInv, (p.y - cy) * fyInv, 1.0};
}

std::vector<double> CameraPinhole::parameterVector() const {
    return {double(width), double(height), fx, fy, cx, cy};
}

bool CameraPinhole::scaleBy(double s) {
    if (!scaleSize(*this, s)) return false;
    fx *= s;
    fy *= s;
    cx *= s;
    cy *= s;
    if (isValid()) {
        fxInv = 1.0 / fx;
        fyInv = 1.0 / fy;
    }
    return true;
}

// ATAN

CameraATAN::CameraATAN(int32_t w, int32_t h, double fx_, double fy_, double cx_, double cy_,
                       double d_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_), d(d_) {
    updateDerivedValues();
}

std::string CameraATAN::typeName() const { return "ATAN"; }
bool CameraATAN::isValid() const { return ruleV(*this, fx, fy); }

int CameraATAN::updateDerivedValues() {
    if (!isValid()) {
        reportInvalid(*this);
        return -1;
    }
    if (fx < 1 && fy < 1) {
        fx *= width;
        cx *= width;
        fy *= height;
        cy *= height;
    }
    if (fx == 0) return -1;
    fxInv = 1.0 / fx;
    if (fy == 0) return -2;
    fyInv = 1.0 / fy;
    if (d == 0) {
        tan2w = 0;
        dInv = 0;
        tan2wInv = 0;
        useDistortion = false;
    } else {
        tan2w = 2.0 * std::tan(d / 2);
        tan2wInv = 1.0 / tan2w;
        dInv = 1.0 / d;
        useDistortion = true;
    }
    return 0;
}

pt::Point2d CameraATAN::project(const pt::Point3d& p) const {
    if (!(p.z > 0)) return {-1, -1};
    if (!useDistortion) return {fx * p.x / p.z + cx, fy * p.y / p.z + cy};
    double X = p.x, Y = p.y;
    if (p.z != 1.0) {
        const double iz = 1.0 / p.z;
        X *= iz;
        Y *= iz;
    }
    const double r = std::sqrt(X * X + Y * Y);
    double factor = 1.0;
    if (r >= 0.001 && d != 0) factor = std::atan(r * tan2w) * dInv / r;
    return {factor * fx * X + cx, factor * fy * Y + cy};
}

pt::Point3d CameraATAN::unproject(const pt::Point2d& p) const {
    double X = (p.x - cx) * fxInv, Y = (p.y - cy) * fyInv;
    if (useDistortion && d != 0) {
        const double r = std::sqrt(X * X + Y * Y);
        if (r > 0.01) {
            const double factor = std::tan(r * d) * tan2wInv / r;
            X *= factor;
            Y *= factor;
        }
    }
    return {X, Y, 1.0};
}

std::vector<double> CameraATAN::parameterVector() const {
    return {double(width), double(height), fx, fy, cx, cy, d};
}

bool CameraATAN::scaleBy(double s) {
    if (!scaleSize(*this, s)) return false;
    fx *= s;
    fy *= s;
    cx *= s;
    cy *= s;
    updateDerivedValues();
    return true;
}

// OpenCV

CameraOpenCV::CameraOpenCV(int32_t w, int32_t h, double fx_, double fy_, double cx_, double cy_,
                           double k1_, double k2_, double p1_, double p2_, double k3_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_),
      k1(k1_), k2(k2_), p1(p1_), p2(p2_), k3(k3_) {
    refresh();
}

std::string CameraOpenCV::typeName() const { return "OpenCV"; }
bool CameraOpenCV::isValid() const { return ruleV(*this, fx, fy); }

int CameraOpenCV::refresh() {
    if (!isValid()) {
        reportInvalid(*this);
        return -1;
    }
    if (fx == 0) return -1;
    if (fy == 0) return -2;
    fxInv = 1.0 / fx;
    fyInv = 1.0 / fy;
    return 0;
}

pt::Point2d CameraOpenCV::project(const pt::Point3d& p) const {
    if (!(p.z > 0)) return {-1, -1};
    double X = p.x, Y = p.y;
    if (p.z != 1.0) {
        const double iz = 1.0 / p.z;
        X *= iz;
        Y *= iz;
    }
    const double r2 = X * X + Y * Y;
    const double radial = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    const double u = (radial * X + 2 * p1 * X * Y + p2 * (r2 + 2 * X * X)) * fx + cx;
    const double v = (radial * Y + p1 * (r2 + 2 * Y * Y) + 2 * p2 * X * Y) * fy + cy;
    return {u, v};
}

pt::Point3d CameraOpenCV::unproject(const pt::Point2d& p) const {
    const double x0 = (p.x - cx) * fxInv, y0 = (p.y - cy) * fyInv;
    double x = x0, y = y0;
    for (int i = 0; i < 5; ++i) {
        const double r2 = x * x + y * y;
        const double icd = 1.0 / (((k3 * r2 + k2) * r2 + k1) * r2 + 1);
        const double nx = (x0 - (2 * p1 * x * y + p2 * (r2 + 2 * x * x))) * icd;
        const double ny = (y0 - (p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)) * icd;
        x = nx;
        y = ny;
    }
    return {x, y, 1.0};
}

std::vector<double> CameraOpenCV::parameterVector() const {
    return {double(width), double(height), fx, fy, cx, cy, k1, k2, p1, p2, k3};
}

bool CameraOpenCV::scaleBy(double s) {
    if (!scaleSize(*this, s)) return false;
    fx *= s;
    fy *= s;
    cx *= s;
    cy *= s;
    refresh();
    return true;
}

}  // namespace fw
