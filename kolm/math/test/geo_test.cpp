// The projection is checked against PROJ's azimuthal equidistant projection
// on the same sphere (the proj program).
#include "kmath/geo.h"

#include "testsupport/run_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Offset {
    double ref[2];   // latitude, longitude
    float local[2];  // north, east
};

const std::vector<Offset> kOffsets = {
    {{0, 0}, {1000, 0}},           {{30.1, 120.2}, {12.5f, -3.25f}},   {{30.1, 120.2}, {-25000, 40000}},
    {{-33.9, 151.2}, {0.35f, 0.2f}}, {{64.8, -147.7}, {150000, -90000}}, {{89.5, 10}, {20000, 5000}},
    {{-45, 179.99}, {-500, 3000}},
};

std::string projDefinition(const double ref[2]) {
    char text[128];
    std::snprintf(text, sizeof text, "+proj=aeqd +R=6378137 +lat_0=%.12f +lon_0=%.12f", ref[0], ref[1]);
    return text;
}

// Runs proj over "a b" lines and returns its output pairs.
std::vector<std::pair<double, double>> runProj(bool inverse, const std::string& definition,
                                               const std::string& input) {
    std::vector<std::string> argv = {"/usr/bin/proj"};
    if (inverse) {
        argv.push_back("-I");
    }
    argv.push_back("-f");
    argv.push_back("%.12f");
    std::istringstream words(definition);
    for (std::string w; words >> w;) {
        argv.push_back(w);
    }
    const auto r = testsupport::runProcess(argv, input, 30);
    EXPECT_EQ(r.exitCode, 0) << "proj failed (is proj-bin installed?): " << r.err;
    std::vector<std::pair<double, double>> pairs;
    std::istringstream lines(r.out);
    for (double a = 0, b = 0; lines >> a >> b;) {
        pairs.emplace_back(a, b);
    }
    return pairs;
}

// Longitudes are compared on the circle: the projection does not wrap them.
double longitudeGap(double a, double b) { return std::remainder(a - b, 360.0); }

}  // namespace

TEST(GeoProjection, ReprojectAgreesWithProj) {
    for (const auto& o : kOffsets) {
        char line[128];
        std::snprintf(line, sizeof line, "%.9g %.9g\n", o.local[1], o.local[0]);
        const auto lonLat = runProj(true, projDefinition(o.ref), line);
        ASSERT_EQ(lonLat.size(), 1u);
        double out[2];
        geo_reproject(out, o.ref, o.local);
        EXPECT_NEAR(out[0], lonLat[0].second, 1e-8) << projDefinition(o.ref);
        EXPECT_NEAR(longitudeGap(out[1], lonLat[0].first), 0, 1e-8) << projDefinition(o.ref);
    }
}

TEST(GeoProjection, ProjectAgreesWithProjAndInvertsReproject) {
    for (const auto& o : kOffsets) {
        double point[2];
        geo_reproject(point, o.ref, o.local);
        char line[128];
        std::snprintf(line, sizeof line, "%.12f %.12f\n", point[1], point[0]);
        const auto eastNorth = runProj(false, projDefinition(o.ref), line);
        ASSERT_EQ(eastNorth.size(), 1u);
        vector2f local;
        geo_project(local, o.ref, point);
        // geo_project uses the single-precision value of pi / 180
        const double tolerance = 1e-6 * std::hypot(o.local[0], o.local[1]) + 1e-3;
        EXPECT_NEAR(local[0], eastNorth[0].second, tolerance) << projDefinition(o.ref);
        EXPECT_NEAR(local[1], eastNorth[0].first, tolerance) << projDefinition(o.ref);
        EXPECT_NEAR(local[0], o.local[0], tolerance);
        EXPECT_NEAR(local[1], o.local[1], tolerance);
        EXPECT_NEAR(geo_get_distance(o.ref, point), std::hypot(o.local[0], o.local[1]), tolerance);
    }
}

TEST(GeoProjection, ZeroOffsetAndSpecialPoints) {
    const double ref[2] = {30.123456789012345, 120.98765432109876};
    const vector2f zero = {0, 0};
    double out[2];
    geo_reproject(out, ref, zero);
    EXPECT_EQ(out[0], ref[0]);
    EXPECT_EQ(out[1], ref[1]);

    const double origin[2] = {0, 0};
    const vector2f north = {1000, 0};
    geo_reproject(out, origin, north);
    EXPECT_NEAR(out[0], 1000.0 / 6378137.0 * 57.29577951308232, 1e-12);
    EXPECT_NEAR(out[0], 0.0089832, 1e-7);
    EXPECT_EQ(out[1], 0);

    vector2f local;
    geo_project(local, ref, ref);
    EXPECT_EQ(local[0], 0);
    EXPECT_EQ(local[1], 0);
    EXPECT_EQ(geo_get_distance(ref, ref), 0);

    // the antipode stays finite
    const double antipode[2] = {-ref[0], ref[1] - 180};
    geo_project(local, ref, antipode);
    EXPECT_TRUE(std::isfinite(local[0]));
    EXPECT_TRUE(std::isfinite(local[1]));
}
