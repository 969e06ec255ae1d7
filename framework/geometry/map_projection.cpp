#include "fw/map_projection.h"

#include <cmath>

namespace fw {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegToRad = 0.017453292519943295;
constexpr int kMaxShiftZoom = 54;  // 2^54 tiles of 256 pixels still fit an int64

// v clamped to [lo, hi]; a NaN becomes lo.
double clampTo(double v, double lo, double hi) {
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}

}  // namespace

// Mercator

MercatorProjection::MercatorProjection()
    : minLatitude_(-85.05112878), maxLatitude_(85.05112878),
      minLongitude_(-177.0), maxLongitude_(177.0), tileSize_(256, 256) {}

std::string MercatorProjection::projectionType() const { return "MercatorProjection"; }
double MercatorProjection::earthRadius() const { return 6378137.0; }
double MercatorProjection::flattening() const { return 0.0033528106647474805; }
Point2l MercatorProjection::tileSize() const { return tileSize_; }

Point2l MercatorProjection::toPixel(double lat, double lon, int zoom, bool rounded) const {
    lat = clampTo(lat, minLatitude_, maxLatitude_);
    lon = clampTo(lon, minLongitude_, maxLongitude_);
    const double s = std::sin(lat * kPi / 180);
    const Point2l size = mapSizeInPixels(zoom);
    const double W = double(size.x), H = double(size.y);
    const double fx = (lon + 180) / 360;
    const double fy = 0.5 - std::log((1 + s) / (1 - s)) / (4 * kPi);
    double x = fx * W, y = fy * H;
    if (rounded) {
        x += 0.5;
        y += 0.5;
    }
    return {int64_t(clampTo(x, 0, W - 1)), int64_t(clampTo(y, 0, H - 1))};
}

Point2l MercatorProjection::latLonToPixel(double lat, double lon, int zoom) const {
    return toPixel(lat, lon, zoom, true);
}

Point2l MercatorProjection::latLonToPixelUnrounded(double lat, double lon, int zoom) const {
    return toPixel(lat, lon, zoom, false);
}

Point2l MercatorProjection::latLonToTile(double lat, double lon, int zoom) const {
    return pixelToTile(latLonToPixel(lat, lon, zoom));
}

Point2l MercatorProjection::latLonToTileUnrounded(double lat, double lon, int zoom) const {
    return pixelToTile(latLonToPixelUnrounded(lat, lon, zoom));
}

LatLon MercatorProjection::pixelToLatLon(int64_t x, int64_t y, int zoom) const {
    const Point2l size = mapSizeInPixels(zoom);
    const double W = double(size.x), H = double(size.y);
    const double px = clampTo(double(x), 0, W - 1), py = clampTo(double(y), 0, H - 1);
    LatLon r;
    r.lon = (px / W - 0.5) * 360;
    const double v = 0.5 - py / H;
    r.lat = 90 - 360 * std::atan(std::exp(-2 * kPi * v)) / kPi;
    return r;
}

LatLon MercatorProjection::pixelToLatLonBySine(int64_t x, int64_t y, int zoom) const {
    const Point2l size = mapSizeInPixels(zoom);
    const double W = double(size.x), H = double(size.y);
    const double px = clampTo(double(x), 0, W - 1), py = clampTo(double(y), 0, H - 1);
    LatLon r;
    r.lon = (px / W - 0.5) * 360;
    const double e = std::exp(2 * kPi - (py / H) * 4 * kPi);
    r.lat = std::asin((e - 1) / (e + 1)) * 180 / kPi;
    return r;
}

Point2l MercatorProjection::pixelToTile(const Point2l& pixel) const {
    const Point2l t = tileSize();
    return {pixel.x / t.x, pixel.y / t.y};
}

Point2l MercatorProjection::tileToPixel(const Point2l& tile) const {
    const Point2l t = tileSize();
    return {tile.x * t.x, tile.y * t.y};
}

Point2l MercatorProjection::minTileIndex(int) const { return {0, 0}; }

Point2l MercatorProjection::maxTileIndex(int zoom) const {
    const int z = zoom < 0 ? 0 : zoom > kMaxShiftZoom ? kMaxShiftZoom : zoom;
    const int64_t n = (int64_t(1) << z) - 1;
    return {n, n};
}

Point2l MercatorProjection::tileCount(int zoom) const {
    const Point2l lo = minTileIndex(zoom), hi = maxTileIndex(zoom);
    return {hi.x - lo.x + 1, hi.y - lo.y + 1};
}

Point2l MercatorProjection::mapSizeInPixels(int zoom) const {
    const Point2l n = tileCount(zoom), t = tileSize();
    return {n.x * t.x, n.y * t.y};
}

double MercatorProjection::groundResolution(int zoom, const double& lat) const {
    const double W = double(mapSizeInPixels(zoom).x);
    return earthRadius() * 2 * kPi * std::cos(lat * kDegToRad) / W;
}

int MercatorProjection::zoomForResolution(const double& metresPerPixel, const double& lat) const {
    const double n = earthRadius() * 2 * kPi * std::cos(lat * kDegToRad) /
                         (double(tileSize().x) * metresPerPixel) - 1.0;
    const int top = maxZoomLevel();
    if (!(n >= 1.0)) return 0;  // also a NaN
    const double z = std::trunc(std::log(n) / std::log(2.0));
    return z >= top ? top : int(z);
}

int MercatorProjection::maxZoomLevel() const { return 26; }

// GCJ-02

namespace {

bool outsideChina(double lat, double lon) {
    return lon < 72.004 || lon > 137.8347 || lat < 0.8293 || lat > 55.8271;
}

}  // namespace

LatLon GCJ02Projection::fromWGS84(double lat, double lon) {
    LatLon r;
    r.lat = lat;
    r.lon = lon;
    if (outsideChina(lat, lon)) return r;
    const double x = lon - 105, y = lat - 35;
    const double common = (20 * std::sin(6 * kPi * x) + 20 * std::sin(2 * kPi * x)) * 2 / 3;
    const double dLat = -100 + 2 * x + 3 * y + 0.2 * y * y + 0.1 * x * y +
                        0.2 * std::sqrt(std::fabs(x)) + common +
                        (20 * std::sin(kPi * y) + 40 * std::sin(kPi * y / 3)) * 2 / 3 +
                        (160 * std::sin(kPi * y / 12) + 320 * std::sin(kPi * y / 30)) * 2 / 3;
    const double dLon = 300 + x + 2 * y + 0.1 * x * x + 0.1 * x * y +
                        0.1 * std::sqrt(std::fabs(x)) + common +
                        (20 * std::sin(kPi * x) + 40 * std::sin(kPi * x / 3)) * 2 / 3 +
                        (150 * std::sin(kPi * x / 12) + 300 * std::sin(kPi * x / 30)) * 2 / 3;
    const double phi = lat / 180 * kPi;
    const double sphi = std::sin(phi);
    const double m = 1 - 0.006693421622965943 * sphi * sphi;
    const double sq = std::sqrt(m);
    r.lat = lat + dLat * 180 / ((6335552.717000426 / (m * sq)) * kPi);
    r.lon = lon + dLon * 180 / ((6378245.0 / sq) * std::cos(phi) * kPi);
    return r;
}

LatLon GCJ02Projection::toWGS84(double lat, double lon) {
    LatLon r;
    r.lat = lat;
    r.lon = lon;
    if (outsideChina(lat, lon)) return r;
    const LatLon g = fromWGS84(lat, lon);
    r.lat = 2 * lat - g.lat;
    r.lon = 2 * lon - g.lon;
    return r;
}

std::string GCJ02Projection::projectionType() const { return "GCJ02Projection"; }

Point2l GCJ02Projection::latLonToPixel(double lat, double lon, int zoom) const {
    const LatLon g = fromWGS84(lat, lon);
    return MercatorProjection::latLonToPixel(g.lat, g.lon, zoom);
}

LatLon GCJ02Projection::pixelToLatLon(int64_t x, int64_t y, int zoom) const {
    const LatLon g = MercatorProjection::pixelToLatLon(x, y, zoom);
    return toWGS84(g.lat, g.lon);
}

// BD-09

LatLon BaiduProjection::fromWGS84(double lat, double lon) {
    const LatLon g = GCJ02Projection::fromWGS84(lat, lon);
    const double z = std::sqrt(g.lon * g.lon + g.lat * g.lat) + 2e-5 * std::sin(g.lat * kPi);
    const double theta = std::atan2(g.lat, g.lon) + 3e-6 * std::cos(g.lon * kPi);
    LatLon r;
    r.lat = z * std::sin(theta) + 0.006;
    r.lon = z * std::cos(theta) + 0.0065;
    return r;
}

LatLon BaiduProjection::toWGS84(double lat, double lon) {
    const double x = lon - 0.0065, y = lat - 0.006;
    const double z = std::sqrt(x * x + y * y) - 2e-5 * std::sin(y * kPi);
    const double theta = std::atan2(y, x) - 3e-6 * std::cos(x * kPi);
    return GCJ02Projection::toWGS84(z * std::sin(theta), z * std::cos(theta));
}

std::string BaiduProjection::projectionType() const { return "BaiduProjection"; }

Point2l BaiduProjection::latLonToPixel(double lat, double lon, int zoom) const {
    const LatLon b = fromWGS84(lat, lon);
    return MercatorProjection::latLonToPixel(b.lat, b.lon, zoom);
}

LatLon BaiduProjection::pixelToLatLon(int64_t x, int64_t y, int zoom) const {
    const LatLon b = MercatorProjection::pixelToLatLon(x, y, zoom);
    return toWGS84(b.lat, b.lon);
}

}  // namespace fw
