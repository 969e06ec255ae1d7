#pragma once
// Spherical Mercator projection of web maps with square tiles, and its
// variants for maps in the Chinese GCJ-02 and BD-09 datums. Pixels and tiles
// count x to the east and y to the south from the north-west corner.

#include "fw/gobject.h"
#include "pt/point.h"

#include <cstdint>
#include <string>

namespace fw {

using Point2l = pt::Point2_<int64_t>;

// Result of unprojecting; empty is false in every result the projections give.
struct LatLon {
    double lat = 0.0;
    double lon = 0.0;
    bool empty = false;
};

class PureProjection : public GObject {
public:
    virtual std::string projectionType() const = 0;
    virtual double earthRadius() const = 0;
    virtual double flattening() const = 0;
    virtual Point2l tileSize() const = 0;
    virtual Point2l latLonToPixel(double lat, double lon, int zoom) const = 0;
    virtual Point2l latLonToPixelUnrounded(double lat, double lon, int zoom) const = 0;
    virtual Point2l latLonToTile(double lat, double lon, int zoom) const = 0;
    virtual Point2l latLonToTileUnrounded(double lat, double lon, int zoom) const = 0;
    virtual LatLon pixelToLatLon(int64_t x, int64_t y, int zoom) const = 0;
    virtual LatLon pixelToLatLonBySine(int64_t x, int64_t y, int zoom) const = 0;
    virtual Point2l pixelToTile(const Point2l& pixel) const = 0;
    virtual Point2l tileToPixel(const Point2l& tile) const = 0;
    virtual Point2l minTileIndex(int zoom) const = 0;
    virtual Point2l maxTileIndex(int zoom) const = 0;
    virtual Point2l tileCount(int zoom) const = 0;
    virtual Point2l mapSizeInPixels(int zoom) const = 0;
    virtual double groundResolution(int zoom, const double& lat) const = 0;
    virtual int zoomForResolution(const double& metresPerPixel, const double& lat) const = 0;
    virtual int maxZoomLevel() const = 0;
};

// WGS84 coordinates. Composite operations call the others through the
// interface, so an override of one changes the composites that use it.
// Zoom levels outside 0..54 (where map sizes still fit 64 bits) are taken
// as the nearest of the two.
class MercatorProjection : public PureProjection {
public:
    MercatorProjection();

    std::string projectionType() const override;
    double earthRadius() const override;
    double flattening() const override;
    Point2l tileSize() const override;
    Point2l latLonToPixel(double lat, double lon, int zoom) const override;
    Point2l latLonToPixelUnrounded(double lat, double lon, int zoom) const override;
    Point2l latLonToTile(double lat, double lon, int zoom) const override;
    Point2l latLonToTileUnrounded(double lat, double lon, int zoom) const override;
    LatLon pixelToLatLon(int64_t x, int64_t y, int zoom) const override;
    LatLon pixelToLatLonBySine(int64_t x, int64_t y, int zoom) const override;
    Point2l pixelToTile(const Point2l& pixel) const override;
    Point2l tileToPixel(const Point2l& tile) const override;
    Point2l minTileIndex(int zoom) const override;
    Point2l maxTileIndex(int zoom) const override;
    Point2l tileCount(int zoom) const override;
    Point2l mapSizeInPixels(int zoom) const override;
    double groundResolution(int zoom, const double& lat) const override;
    int zoomForResolution(const double& metresPerPixel, const double& lat) const override;
    int maxZoomLevel() const override;

protected:
    Point2l toPixel(double lat, double lon, int zoom, bool rounded) const;

    double minLatitude_;
    double maxLatitude_;
    double minLongitude_;
    double maxLongitude_;
    Point2l tileSize_;
};

// Takes WGS84 positions, shifts them into GCJ-02 before projecting and back
// after unprojecting.
class GCJ02Projection : public MercatorProjection {
public:
    std::string projectionType() const override;
    Point2l latLonToPixel(double lat, double lon, int zoom) const override;
    LatLon pixelToLatLon(int64_t x, int64_t y, int zoom) const override;

    // WGS84 -> GCJ-02; points outside China pass unchanged.
    static LatLon fromWGS84(double lat, double lon);
    // GCJ-02 -> WGS84 in one step: 2 · point - fromWGS84(point).
    static LatLon toWGS84(double lat, double lon);
};

// Like GCJ02Projection, for BD-09.
class BaiduProjection : public MercatorProjection {
public:
    std::string projectionType() const override;
    Point2l latLonToPixel(double lat, double lon, int zoom) const override;
    LatLon pixelToLatLon(int64_t x, int64_t y, int zoom) const override;

    static LatLon fromWGS84(double lat, double lon);
    static LatLon toWGS84(double lat, double lon);
};

}  // namespace fw
