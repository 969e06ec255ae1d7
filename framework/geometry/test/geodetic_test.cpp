#include "fw/geodetic.h"
#include "proj_tool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Geodetic {
    double lat, lon, h;
};

// Equator, poles and their neighbourhood, the antimeridian, heights below the
// ellipsoid and up to airliner altitude.
const std::vector<Geodetic> kPlaces = {
    {0.0, 0.0, 0.0},          {0.0, 90.0, -100.0},     {-1e-4, -179.9, 120.5},  {22.5, 113.9, 35.0},
    {50.0, 10.0, 0.0},        {-33.9, 151.2, -50.0},   {60.0, 25.0, -430.0},    {12.5, 179.99999, 8848.0},
    {89.9, 45.0, 100.0},      {89.999, -30.0, -400.0}, {-89.9999, 120.0, 2500.0}, {-89.99, -120.0, 12000.0},
    {90.0, 0.0, 10.0},        {-90.0, 0.0, -10.0},
};

double lonDifference(double a, double b) {
    double d = a - b;
    if (d > 180.0) d -= 360.0;
    if (d < -180.0) d += 360.0;
    return d;
}

std::vector<std::vector<double>> latLonHeight(const std::vector<Geodetic>& places) {
    std::vector<std::vector<double>> rows;
    for (const Geodetic& g : places) rows.push_back({g.lat, g.lon, g.h});
    return rows;
}

}  // namespace

TEST(GeodeticConversion, RoundTripsToNanodegreesAndMillimetres) {
    for (const Geodetic& g : kPlaces) {
        const pt::Point3d e = fw::geodeticToECEF(g.lat, g.lon, g.h);
        const pt::Point3d back = fw::ecefToGeodetic(e.x, e.y, e.z);
        EXPECT_NEAR(back.x, g.lat, 1e-9) << g.lat << " " << g.lon << " " << g.h;
        // The longitude of a pole is whatever its rounding leaves.
        if (std::fabs(g.lat) < 90.0) {
            EXPECT_NEAR(lonDifference(back.y, g.lon), 0.0, 1e-9) << g.lat << " " << g.lon;
        }
        EXPECT_NEAR(back.z, g.h, 1e-3) << g.lat << " " << g.lon << " " << g.h;
    }
}

TEST(GeodeticConversion, AgreesWithProjBothWays) {
    // EPSG:4979 is WGS84 latitude, longitude, ellipsoidal height; EPSG:4978 its
    // earth-centred cartesian frame.
    const auto toEcef = projtool::run("cs2cs", {"-f", "%.6f", "EPSG:4979", "EPSG:4978"}, latLonHeight(kPlaces));
    ASSERT_EQ(toEcef.process.exitCode, 0) << toEcef.process.err;
    ASSERT_EQ(toEcef.rows.size(), kPlaces.size());
    std::vector<std::vector<double>> ecef;
    for (size_t i = 0; i < kPlaces.size(); ++i) {
        ASSERT_GE(toEcef.rows[i].size(), 3u) << i;
        const pt::Point3d ours = fw::geodeticToECEF(kPlaces[i].lat, kPlaces[i].lon, kPlaces[i].h);
        // b differs from PROJ's by 0.2 micrometres; PROJ prints six decimals.
        EXPECT_NEAR(ours.x, toEcef.rows[i][0], 2e-6) << i;
        EXPECT_NEAR(ours.y, toEcef.rows[i][1], 2e-6) << i;
        EXPECT_NEAR(ours.z, toEcef.rows[i][2], 2e-6) << i;
        ecef.push_back({ours.x, ours.y, ours.z});
    }
    // Earth-centred points off the places too: 3 km above and below, and off
    // the meridian.
    ecef.push_back({4045456.4, 713323.1, 4862789.0});
    ecef.push_back({-2388533.8 * 1.0005, 5390032.8 * 1.0005, 2425670.4 * 1.0005});
    ecef.push_back({3000000.0, -3000000.0, -4000000.0});
    const auto toGeodetic = projtool::run("cs2cs", {"-f", "%.12f", "EPSG:4978", "EPSG:4979"}, ecef);
    ASSERT_EQ(toGeodetic.process.exitCode, 0) << toGeodetic.process.err;
    ASSERT_EQ(toGeodetic.rows.size(), ecef.size());
    for (size_t i = 0; i < ecef.size(); ++i) {
        ASSERT_GE(toGeodetic.rows[i].size(), 3u) << i;
        const pt::Point3d ours = fw::ecefToGeodetic(ecef[i][0], ecef[i][1], ecef[i][2]);
        const double lat = toGeodetic.rows[i][0], lon = toGeodetic.rows[i][1];
        EXPECT_NEAR(ours.x, lat, 1e-9) << i;
        if (std::fabs(lat) < 90.0) {
            EXPECT_NEAR(lonDifference(ours.y, lon), 0.0, 1e-9) << i;
        }
        EXPECT_NEAR(ours.z, toGeodetic.rows[i][2], 1e-3) << i;
    }
}

TEST(GeodeticConversion, KeepsItsRecordedValues) {
    // Earth-centred input and the recorded (latitude, longitude, height) of
    // this conversion, its own b² included.
    struct Case {
        double x, y, z, lat, lon, h;
    };
    const Case cases[] = {
        {4045456.4053409547, 713323.11354149051, 4862789.0377062373, 49.9999999998007, 10, -1.3183802366256714e-05},
        {-2388533.7654074379, 5390032.8020902174, 2425670.3725501699, 22.499999999856687, 113.89999999999999,
         34.999996716156602},
        {6378137, 0, 0, 0, 0, 0},
        {-4643909.6601518802, 2553010.9400314442, -3537217.4606496375, -33.899999999812458, 151.19999999999999,
         -50.000006982125342},
        {7898.0763589200124, 7898.0763589200114, 6356842.5669568246, 89.899999999999295, 45, 99.999977868981659},
        {-558.68806105926308, -967.67610733678725, -6359252.2167355381, -89.98999999999991, -119.99999999999999,
         2499.9999737795442},
        {-6236555.0871845288, -10884.853077725733, 1373370.1647211006, 12.499999999914911, -179.90000000000001,
         8847.9999989615753},
        {2897379.5215424206, 1351070.2594766964, 5500130.72377693, 59.999999999824823, 25, -400.00001685786992},
    };
    for (const Case& c : cases) {
        const pt::Point3d g = fw::ecefToGeodetic(c.x, c.y, c.z);
        EXPECT_NEAR(g.x, c.lat, 1e-12) << c.lat;
        EXPECT_NEAR(g.y, c.lon, 1e-12) << c.lat;
        EXPECT_NEAR(g.z, c.h, 1e-6) << c.lat;
    }
}

TEST(EnuAxes, MatchProjTopocentricFrame) {
    // PROJ's topocentric conversion gives R^T (p - origin) for an earth-centred
    // p: a point 1 km along earth-centred axis k, less the point itself, comes
    // out as 1000 times row k of R (the difference drops the sub-millimetre
    // gap between PROJ's origin and ours).
    const std::vector<Geodetic> origins = {{0.0, 0.0, 0.0},      {50.0, 10.0, 0.0},    {-33.9, 151.2, 0.0},
                                           {89.999, -30.0, 0.0}, {-89.99, -120.0, 0.0}, {12.5, -179.9, 0.0}};
    for (const Geodetic& o : origins) {
        const pt::Point3d c = fw::geodeticToECEF(o.lat, o.lon, 0.0);
        const std::vector<std::vector<double>> input = {
            {c.x + 1000.0, c.y, c.z}, {c.x, c.y + 1000.0, c.z}, {c.x, c.y, c.z + 1000.0}, {c.x, c.y, c.z}};
        const auto r = projtool::run("cct", {"-d", "9", "+proj=topocentric", "+ellps=WGS84",
                                             "+lat_0=" + std::to_string(o.lat), "+lon_0=" + std::to_string(o.lon)},
                                     input);
        ASSERT_EQ(r.process.exitCode, 0) << r.process.err;
        ASSERT_EQ(r.rows.size(), 4u) << r.process.out;
        for (const auto& row : r.rows) ASSERT_GE(row.size(), 3u) << r.process.out;
        const fw::Matrix3 m = fw::enuAxes(o.lat, o.lon);
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                const double proj = (r.rows[row][col] - r.rows[3][col]) / 1000.0;
                EXPECT_NEAR(m(row, col), proj, 1e-11) << o.lat << " " << o.lon << " " << row << col;
            }
        }
    }
}

TEST(EnuAxes, UpIsTheEllipsoidNormalAndTheQuaternionAgrees) {
    for (const Geodetic& g : kPlaces) {
        const fw::Matrix3 m = fw::enuAxes(g.lat, g.lon);
        // Up: the direction in which geodeticToECEF moves with height.
        const pt::Point3d a = fw::geodeticToECEF(g.lat, g.lon, 0.0), b = fw::geodeticToECEF(g.lat, g.lon, 1.0);
        EXPECT_NEAR(m(0, 2), b.x - a.x, 1e-8) << g.lat;
        EXPECT_NEAR(m(1, 2), b.y - a.y, 1e-8) << g.lat;
        EXPECT_NEAR(m(2, 2), b.z - a.z, 1e-8) << g.lat;
        // A proper rotation: east x north = up.
        EXPECT_NEAR(m(1, 0) * m(2, 1) - m(2, 0) * m(1, 1), m(0, 2), 1e-15) << g.lat;
        EXPECT_NEAR(m(2, 0) * m(0, 1) - m(0, 0) * m(2, 1), m(1, 2), 1e-15) << g.lat;
        EXPECT_NEAR(m(0, 0) * m(1, 1) - m(1, 0) * m(0, 1), m(2, 2), 1e-15) << g.lat;
        // The quaternion's square roots lose digits where a component is
        // small (near the poles): within 1e-10 rad there.
        const fw::SO3 q = fw::enuRotation(g.lat, g.lon);
        const pt::Point3d axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int col = 0; col < 3; ++col) {
            const pt::Point3d v = q * axes[col];
            EXPECT_NEAR(v.x, m(0, col), 1e-10) << g.lat << " " << g.lon << " " << col;
            EXPECT_NEAR(v.y, m(1, col), 1e-10) << g.lat << " " << g.lon << " " << col;
            EXPECT_NEAR(v.z, m(2, col), 1e-10) << g.lat << " " << g.lon << " " << col;
        }
    }
}

TEST(EnuAxes, KeepsItsRecordedQuaternions) {
    // (latitude, longitude) and the recorded quaternion (x, y, z, w): an
    // argument order mixed up anywhere shows here.
    struct Case {
        double lat, lon, x, y, z, w;
    };
    const Case cases[] = {
        {50, 10, 0.21984631039295419, 0.26200263022938497, 0.71984631039295421, 0.60402277355505374},
        {22.5, 113.9, -0.11503527072495379, 0.54353028462698527, 0.81345055615595974, -0.17216244907675046},
        {0, 0, 0.5, 0.5, 0.5, 0.5},
        {-33.9, 151.2, -0.4492481717866938, 0.75963717302154077, 0.40475696709840525, -0.23937260305944669},
        {89.9, 45, 0.00033395425201162524, 0.00080623688436897605, 0.92387918072405983, 0.38268328665004936},
        {-89.99, -120, 0.96592582261109539, -0.25881904411701084, -2.2586222178507112e-05, 8.4292929978582476e-05},
        {12.5, -179.9, 0.44298079987457845, -0.44220832644063507, -0.55098015558060121, 0.55194263753168038},
    };
    for (const Case& c : cases) {
        const fw::SO3 q = fw::enuRotation(c.lat, c.lon);
        EXPECT_NEAR(q.x, c.x, 1e-12) << c.lat << " " << c.lon;
        EXPECT_NEAR(q.y, c.y, 1e-12) << c.lat << " " << c.lon;
        EXPECT_NEAR(q.z, c.z, 1e-12) << c.lat << " " << c.lon;
        EXPECT_NEAR(q.w, c.w, 1e-12) << c.lat << " " << c.lon;
    }
}
