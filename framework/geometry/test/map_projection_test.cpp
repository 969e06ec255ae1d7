#include "fw/map_projection.h"
#include "proj_tool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfWorld = kPi * 6378137.0;  // half the web-mercator extent in metres

fw::Point2l px(int64_t x, int64_t y) { return {x, y}; }

void expectPoint(const fw::Point2l& a, const fw::Point2l& b, const char* what) {
    EXPECT_EQ(a.x, b.x) << what;
    EXPECT_EQ(a.y, b.y) << what;
}

// GCJ-02 offset in its usual published form (semi-axis 6378245 and e² spelled
// out), a second formulation of the constants folded into the code.
fw::LatLon gcjByTextbook(double lat, double lon) {
    const double a = 6378245.0, ee = 0.00669342162296594323;
    const double x = lon - 105.0, y = lat - 35.0;
    double dLat = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::abs(x));
    dLat += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    dLat += (20.0 * std::sin(y * kPi) + 40.0 * std::sin(y / 3.0 * kPi)) * 2.0 / 3.0;
    dLat += (160.0 * std::sin(y / 12.0 * kPi) + 320 * std::sin(y * kPi / 30.0)) * 2.0 / 3.0;
    double dLon = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::abs(x));
    dLon += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    dLon += (20.0 * std::sin(x * kPi) + 40.0 * std::sin(x / 3.0 * kPi)) * 2.0 / 3.0;
    dLon += (150.0 * std::sin(x / 12.0 * kPi) + 300.0 * std::sin(x / 30.0 * kPi)) * 2.0 / 3.0;
    const double radLat = lat / 180.0 * kPi;
    double magic = std::sin(radLat);
    magic = 1 - ee * magic * magic;
    const double sqrtMagic = std::sqrt(magic);
    fw::LatLon r;
    r.lat = lat + (dLat * 180.0) / ((a * (1 - ee)) / (magic * sqrtMagic) * kPi);
    r.lon = lon + (dLon * 180.0) / (a / sqrtMagic * std::cos(radLat) * kPi);
    return r;
}

}  // namespace

TEST(Mercator, PixelsOfReferencePoints) {
    // Worked by hand: the map is 256 · 2^zoom pixels wide, (0, 0) is its centre,
    // the clamped latitude 85.05112878 is the top row and longitude 177 is
    // 357/360 of the width.
    const fw::MercatorProjection m;
    struct Case {
        double lat, lon;
        int zoom;
        fw::Point2l rounded, unrounded;
    } cases[] = {
        {0, 0, 0, px(128, 128), px(128, 128)},
        {0, 0, 1, px(256, 256), px(256, 256)},
        {89, 0, 0, px(128, 0), px(128, 0)},
        {-89, 0, 2, px(512, 1023), px(512, 1023)},
        {0, 180, 0, px(254, 128), px(253, 128)},   // 253.867 pixels
        {0, -200, 3, px(17, 1024), px(17, 1024)},  // -177: 3/360 · 2048 = 17.07
        // NaN is clamped to the lower bounds: -177 (4.27 pixels) and the bottom row.
        {std::nan(""), std::nan(""), 1, px(4, 511), px(4, 511)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lat << "," << c.lon << " z" << c.zoom);
        expectPoint(m.latLonToPixel(c.lat, c.lon, c.zoom), c.rounded, "rounded");
        expectPoint(m.latLonToPixelUnrounded(c.lat, c.lon, c.zoom), c.unrounded, "unrounded");
    }
    expectPoint(m.latLonToTile(0, 0, 1), px(1, 1), "tile");
    expectPoint(m.latLonToTileUnrounded(-0.0001, -0.0001, 1), px(0, 1), "tile unrounded");
}

TEST(Mercator, UnprojectsReferencePixels) {
    const fw::MercatorProjection m;
    // By hand: lat = 90 - 360 atan(e^-pi) / pi at the top edge.
    const double top = 90 - 360 * std::atan(std::exp(-kPi)) / kPi;
    EXPECT_NEAR(top, 85.0511287798, 1e-10);
    for (auto ll : {m.pixelToLatLon(0, 0, 0), m.pixelToLatLonBySine(0, 0, 0)}) {
        EXPECT_NEAR(ll.lat, 85.0511287798, 1e-9);
        EXPECT_DOUBLE_EQ(ll.lon, -180.0);
        EXPECT_FALSE(ll.empty);
    }
    fw::LatLon c = m.pixelToLatLon(128, 128, 0);
    EXPECT_NEAR(c.lat, 0, 1e-12);
    EXPECT_NEAR(c.lon, 0, 1e-12);
    // Pixels outside the map are clamped to its last row and column.
    const fw::LatLon edge = m.pixelToLatLon(-5, 9999, 0), last = m.pixelToLatLon(0, 255, 0);
    EXPECT_EQ(edge.lat, last.lat);
    EXPECT_EQ(edge.lon, -180.0);
    // The two unprojections agree.
    for (int64_t y : {0, 100, 128, 200, 255}) {
        EXPECT_NEAR(m.pixelToLatLon(3, y, 0).lat, m.pixelToLatLonBySine(3, y, 0).lat, 1e-9) << y;
    }
}

TEST(Mercator, TileGrid) {
    const fw::MercatorProjection m;
    expectPoint(m.maxTileIndex(0), px(0, 0), "max 0");
    expectPoint(m.minTileIndex(7), px(0, 0), "min 7");
    expectPoint(m.tileCount(0), px(1, 1), "count 0");
    expectPoint(m.mapSizeInPixels(3), px(2048, 2048), "size 3");
    expectPoint(m.pixelToTile(px(511, 256)), px(1, 1), "pixel to tile");
    expectPoint(m.tileToPixel(px(3, 5)), px(768, 1280), "tile to pixel");
    expectPoint(m.tileSize(), px(256, 256), "tile size");
    // Zoom levels beyond 31 are shifted in 64 bits; out-of-range levels are clamped.
    expectPoint(m.maxTileIndex(31), px(2147483647, 2147483647), "max 31");
    expectPoint(m.mapSizeInPixels(40), px(int64_t(1) << 48, int64_t(1) << 48), "size 40");
    expectPoint(m.maxTileIndex(-3), px(0, 0), "negative zoom");
    expectPoint(m.mapSizeInPixels(1000), px(int64_t(1) << 62, int64_t(1) << 62), "huge zoom");
    expectPoint(m.latLonToPixel(0, 0, 1000), px(int64_t(1) << 61, int64_t(1) << 61), "huge zoom pixel");
    EXPECT_EQ(m.maxZoomLevel(), 26);
    EXPECT_EQ(m.earthRadius(), 6378137.0);
    EXPECT_EQ(m.flattening(), 0.0033528106647474805);
}

TEST(Mercator, GroundResolutionAndZoom) {
    const fw::MercatorProjection m;
    // By hand: 2 pi R / 256 at zoom 0 on the equator, halved per zoom, times cos(lat).
    EXPECT_DOUBLE_EQ(m.groundResolution(0, 0), 156543.03392804097);
    EXPECT_DOUBLE_EQ(m.groundResolution(3, 60), 156543.03392804097 / 8 * std::cos(kPi / 3));

    struct Case {
        double g, lat;
        int zoom;
    } cases[] = {
        {1e9, 0, 0},                                // coarser than the whole map
        {0.001, 0, 26},                             // log2(156543033.9 - 1) = 27.2, capped
        {0.0, 0, 26},                               // capped, not undefined
        {1e-300, 0, 26},
        {-1.0, 0, 0},
        {std::nan(""), 0, 0},
        {std::numeric_limits<double>::infinity(), 0, 0},
        // Just finer than zoom 3's own resolution: n = 8 / 0.999 - 1 = 7.008, log2 2.81.
        {156543.03392804097 / 8 * 0.999, 0, 2},
        {156543.03392804097 / 8 * 0.4, 0, 4},       // n = 19, log2 4.25
        {0.1, 60, 19},                               // n = 782714.4, log2 19.58
    };
    // Expected zooms worked out as trunc(log2(2 pi R cos(lat) / (256 g) - 1)).
    for (const auto& c : cases) {
        double n = 2 * kPi * 6378137.0 * std::cos(c.lat * kPi / 180) / (256 * c.g) - 1;
        const int byHand = !(n >= 1) ? 0 : int(std::min(26.0, std::floor(std::log2(n))));
        EXPECT_EQ(byHand, c.zoom) << c.g;
        EXPECT_EQ(m.zoomForResolution(c.g, c.lat), c.zoom) << c.g << " at " << c.lat;
    }
}

TEST(Mercator, AgreesWithProjWebMercator) {
    // PROJ's web mercator in metres, turned into pixels of zoom 20:
    // x = (X + pi R) / (2 pi R) · W, y = (pi R - Y) / (2 pi R) · H.
    const fw::MercatorProjection m;
    const int zoom = 20;
    const double W = 256.0 * (1 << zoom);
    const std::vector<std::vector<double>> lonLat = {
        {116.397477, 39.908692}, {-122.4194, 37.7749}, {151.2093, -33.8688},
        {0.0001, -0.0001},       {-70.5, -80.0},       {10.0, 84.9}};
    const auto r = projtool::run("proj", {"-f", "%.6f", "+proj=webmerc", "+datum=WGS84"}, lonLat);
    ASSERT_EQ(r.process.exitCode, 0) << r.process.err;
    ASSERT_EQ(r.rows.size(), lonLat.size());
    std::vector<std::vector<double>> metres;
    for (size_t i = 0; i < lonLat.size(); ++i) {
        ASSERT_EQ(r.rows[i].size(), 2u);
        const double x = (r.rows[i][0] + kHalfWorld) / (2 * kHalfWorld) * W;
        const double y = (kHalfWorld - r.rows[i][1]) / (2 * kHalfWorld) * W;
        const fw::Point2l u = m.latLonToPixelUnrounded(lonLat[i][1], lonLat[i][0], zoom);
        const fw::Point2l p = m.latLonToPixel(lonLat[i][1], lonLat[i][0], zoom);
        EXPECT_EQ(u.x, int64_t(std::floor(x))) << i;
        EXPECT_EQ(u.y, int64_t(std::floor(y))) << i;
        EXPECT_EQ(p.x, int64_t(std::floor(x + 0.5))) << i;
        EXPECT_EQ(p.y, int64_t(std::floor(y + 0.5))) << i;
        // The pixel corner back to metres, for the inverse check below.
        metres.push_back({double(u.x) / W * 2 * kHalfWorld - kHalfWorld,
                          kHalfWorld - double(u.y) / W * 2 * kHalfWorld});
    }
    const auto inv = projtool::run("proj", {"-I", "-f", "%.10f", "+proj=webmerc", "+datum=WGS84"},
                                   metres);
    ASSERT_EQ(inv.process.exitCode, 0) << inv.process.err;
    ASSERT_EQ(inv.rows.size(), lonLat.size());
    for (size_t i = 0; i < lonLat.size(); ++i) {
        const fw::Point2l u = m.latLonToPixelUnrounded(lonLat[i][1], lonLat[i][0], zoom);
        const fw::LatLon ll = m.pixelToLatLon(u.x, u.y, zoom);
        const fw::LatLon bySine = m.pixelToLatLonBySine(u.x, u.y, zoom);
        EXPECT_NEAR(ll.lon, inv.rows[i][0], 1e-9) << i;
        EXPECT_NEAR(ll.lat, inv.rows[i][1], 1e-9) << i;
        EXPECT_NEAR(bySine.lat, inv.rows[i][1], 1e-9) << i;
    }
}

TEST(GCJ02, OffsetMatchesTheTextbookFormAndRoundTrips) {
    // Round-trip bound of the one-step inverse: 1e-5 degrees at these places.
    struct Place {
        double lat, lon, tolerance;
    };
    std::vector<Place> places = {
        {39.908692, 116.397477, 1e-5}, {22.5431, 114.0579, 1e-5}, {43.8256, 87.6168, 1e-5}};
    // Elsewhere the one step leaves up to about 6e-5 degrees: a grid over the box.
    for (double lat = 1.0; lat < 55.8; lat += 0.731)
        for (double lon = 72.1; lon < 137.8; lon += 0.977) places.push_back({lat, lon, 7e-5});
    for (const auto& p : places) {
        SCOPED_TRACE(::testing::Message() << p.lat << "," << p.lon);
        const fw::LatLon g = fw::GCJ02Projection::fromWGS84(p.lat, p.lon);
        const fw::LatLon t = gcjByTextbook(p.lat, p.lon);
        ASSERT_NEAR(g.lat, t.lat, 1e-12);
        ASSERT_NEAR(g.lon, t.lon, 1e-12);
        ASSERT_GT(std::hypot(g.lat - p.lat, g.lon - p.lon), 1e-4);  // really shifted
        const fw::LatLon back = fw::GCJ02Projection::toWGS84(g.lat, g.lon);
        ASSERT_NEAR(back.lat, p.lat, p.tolerance);
        ASSERT_NEAR(back.lon, p.lon, p.tolerance);
    }
    // Outside the China box both directions leave the point as it is.
    for (const auto& [lat, lon] : std::vector<std::pair<double, double>>{
             {48.8566, 2.3522}, {35.0, 72.0}, {0.8, 110.0}, {56.0, 120.0}, {-33.0, 151.0}}) {
        const fw::LatLon a = fw::GCJ02Projection::fromWGS84(lat, lon);
        const fw::LatLon b = fw::GCJ02Projection::toWGS84(lat, lon);
        EXPECT_EQ(a.lat, lat);
        EXPECT_EQ(a.lon, lon);
        EXPECT_EQ(b.lat, lat);
        EXPECT_EQ(b.lon, lon);
    }
}

TEST(GCJ02, ProjectionShiftsOnlyTheRoundedConversions) {
    const fw::MercatorProjection merc;
    const fw::GCJ02Projection gcj;
    const fw::BaiduProjection bd;
    const double lat = 39.908692, lon = 116.397477;
    const int zoom = 18;
    const fw::LatLon g = fw::GCJ02Projection::fromWGS84(lat, lon);
    expectPoint(gcj.latLonToPixel(lat, lon, zoom), merc.latLonToPixel(g.lat, g.lon, zoom), "gcj px");
    expectPoint(gcj.latLonToTile(lat, lon, zoom), merc.latLonToTile(g.lat, g.lon, zoom), "gcj tile");
    const fw::LatLon b = fw::BaiduProjection::fromWGS84(lat, lon);
    expectPoint(bd.latLonToPixel(lat, lon, zoom), merc.latLonToPixel(b.lat, b.lon, zoom), "bd px");
    // Unrounded and by-sine conversions stay Mercator's on the raw coordinates.
    for (const fw::PureProjection* p : {static_cast<const fw::PureProjection*>(&gcj),
                                        static_cast<const fw::PureProjection*>(&bd)}) {
        expectPoint(p->latLonToPixelUnrounded(lat, lon, zoom),
                    merc.latLonToPixelUnrounded(lat, lon, zoom), "unrounded");
        EXPECT_EQ(p->pixelToLatLonBySine(1000, 2000, 12).lat,
                  merc.pixelToLatLonBySine(1000, 2000, 12).lat);
        EXPECT_EQ(p->type(), "GObject");
    }
    EXPECT_EQ(merc.projectionType(), "MercatorProjection");
    EXPECT_EQ(gcj.projectionType(), "GCJ02Projection");
    EXPECT_EQ(bd.projectionType(), "BaiduProjection");

    // Through pixels of zoom 26 and back to WGS84 within 1e-5 degrees.
    for (const fw::PureProjection* p : {static_cast<const fw::PureProjection*>(&gcj),
                                        static_cast<const fw::PureProjection*>(&bd)}) {
        const fw::Point2l q = p->latLonToPixel(lat, lon, 26);
        const fw::LatLon back = p->pixelToLatLon(q.x, q.y, 26);
        EXPECT_NEAR(back.lat, lat, 1e-5) << p->projectionType();
        EXPECT_NEAR(back.lon, lon, 1e-5) << p->projectionType();
    }
}

TEST(Baidu, ShiftAppliesEverywhereAndRoundTrips) {
    for (const auto& [lat, lon] : std::vector<std::pair<double, double>>{
             {39.908692, 116.397477}, {48.8566, 2.3522}, {-33.0, 151.0}}) {
        SCOPED_TRACE(::testing::Message() << lat << "," << lon);
        const fw::LatLon g = fw::GCJ02Projection::fromWGS84(lat, lon);
        const fw::LatLon b = fw::BaiduProjection::fromWGS84(lat, lon);
        // BD-09 = GCJ-02 + (0.006, 0.0065) plus polar terms of at most
        // 2e-5 + 3e-6 · |z| degrees.
        const double bound = 2e-5 + 3e-6 * std::hypot(g.lat, g.lon);
        EXPECT_NEAR(b.lat - g.lat, 0.006, bound);
        EXPECT_NEAR(b.lon - g.lon, 0.0065, bound);
        const fw::LatLon back = fw::BaiduProjection::toWGS84(b.lat, b.lon);
        EXPECT_NEAR(back.lat, lat, 1e-5);
        EXPECT_NEAR(back.lon, lon, 1e-5);
    }
}

namespace {

// Overrides one primitive; the composites must follow it.
class WideTiles : public fw::MercatorProjection {
public:
    fw::Point2l tileSize() const override { return {512, 512}; }
    int maxZoomLevel() const override { return 20; }
};

}  // namespace

TEST(Mercator, CompositesDispatchThroughTheInterface) {
    const std::unique_ptr<fw::PureProjection> p = std::make_unique<WideTiles>();
    expectPoint(p->mapSizeInPixels(1), px(1024, 1024), "size");
    expectPoint(p->latLonToPixel(0, 0, 0), px(256, 256), "pixel");
    expectPoint(p->latLonToTile(0, 0, 1), px(1, 1), "tile");
    expectPoint(p->tileToPixel(px(1, 2)), px(512, 1024), "tile to pixel");
    EXPECT_DOUBLE_EQ(p->groundResolution(0, 0), 156543.03392804097 / 2);
    EXPECT_EQ(p->zoomForResolution(0.001, 0), 20);
    const fw::LatLon ll = p->pixelToLatLon(256, 0, 0);
    EXPECT_NEAR(ll.lon, 0.0, 1e-12);
}
