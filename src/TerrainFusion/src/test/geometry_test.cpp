// Ground-plane fit, east-north-up frame, geodetic conversion (checked with
// PROJ's cs2cs) and the similarity-transform operators.

#include "fw/geodetic.h"
#include "fw/pose.h"
#include "terrain/ground_plane.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

namespace {

pt::Point3d axis(const fw::SE3& pose, int i) {
    return pose.rotation * pt::Point3d{i == 0 ? 1.0 : 0.0, i == 1 ? 1.0 : 0.0, i == 2 ? 1.0 : 0.0};
}

TEST(CalcPlane, NoisyPointsOfAKnownPlaneWithOutliers) {
    // Plane through (1, 2, 3) with normal (0.2, -0.3, 0.93) (normalised).
    pt::Point3d n{0.2, -0.3, 0.93};
    const double len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    n = {n.x / len, n.y / len, n.z / len};
    // Two directions in the plane.
    pt::Point3d a{n.z, 0.0, -n.x};
    const double la = std::sqrt(a.x * a.x + a.z * a.z);
    a = {a.x / la, 0.0, a.z / la};
    const pt::Point3d b{n.y * a.z - n.z * a.y, n.z * a.x - n.x * a.z, n.x * a.y - n.y * a.x};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> span(-10.0, 10.0);
    std::normal_distribution<double> noise(0.0, 0.01);
    std::vector<pt::Point3d> points;
    for (int i = 0; i < 400; ++i) {
        const double s = span(rng), t = span(rng), d = noise(rng);
        points.push_back({1 + s * a.x + t * b.x + d * n.x, 2 + s * a.y + t * b.y + d * n.y,
                          3 + s * a.z + t * b.z + d * n.z});
    }
    std::vector<uint32_t> expectedOutliers;
    for (int i = 0; i < 40; ++i) {
        const size_t at = 10 * i + 3;
        points[at] = {points[at].x + 2.0 * n.x, points[at].y + 2.0 * n.y, points[at].z + 2.0 * n.z};
        expectedOutliers.push_back(static_cast<uint32_t>(at));
    }
    fw::SE3 plane;
    std::vector<uint32_t> outliers;
    ASSERT_EQ(CalcPlane(points, plane, outliers, 0.1), 0);
    EXPECT_EQ(outliers, expectedOutliers);
    const pt::Point3d z = axis(plane, 2);
    EXPECT_GE(z.z, 0.0);
    EXPECT_NEAR(z.x * n.x + z.y * n.y + z.z * n.z, 1.0, 1e-5);
    // Origin on the plane; the axes form a right-handed frame.
    const pt::Point3d o = plane.translation;
    EXPECT_NEAR((o.x - 1) * n.x + (o.y - 2) * n.y + (o.z - 3) * n.z, 0.0, 0.005);
    const pt::Point3d x = axis(plane, 0), y = axis(plane, 1);
    EXPECT_NEAR(x.x * y.x + x.y * y.y + x.z * y.z, 0.0, 1e-9);
    EXPECT_NEAR(x.y * y.z - x.z * y.y, z.x, 1e-9);
}

TEST(CalcPlane, TooFewPointsAndDegenerateCases) {
    std::vector<pt::Point3d> nine;
    for (int i = 0; i < 9; ++i) nine.push_back({double(i), double(i * i % 5), 0.0});
    fw::SE3 plane;
    std::vector<uint32_t> outliers;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CalcPlane(nine, plane, outliers, 0.1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CalcPlane: too few points to calc plane.\n");

    // Ten points of the plane z = 0, with collinear triples among them.
    std::vector<pt::Point3d> ten;
    for (int i = 0; i < 10; ++i) ten.push_back({double(i % 4), double(i / 4), 0.0});
    ASSERT_EQ(CalcPlane(ten, plane, outliers, 0.1), 0);
    EXPECT_TRUE(outliers.empty());
    EXPECT_NEAR(axis(plane, 2).z, 1.0, 1e-9);

    // A plane with normal along y: the x axis is still a unit vector.
    std::vector<pt::Point3d> wall;
    for (int i = 0; i < 30; ++i) wall.push_back({double(i % 6), 4.0, double(i / 6)});
    outliers.clear();
    ASSERT_EQ(CalcPlane(wall, plane, outliers, 0.1), 0);
    const pt::Point3d x = axis(plane, 0);
    EXPECT_NEAR(x.x * x.x + x.y * x.y + x.z * x.z, 1.0, 1e-9);
    EXPECT_NEAR(std::fabs(axis(plane, 2).y), 1.0, 1e-9);
}

TEST(EcefToGeodetic, MatchesProjToNanodegreesAndMillimetres) {
    std::vector<pt::Point3d> geodetic = {{0, 0, 0},         {50.0, 10.0, 0.0},   {50.0, 10.0, 8000.0},
                                         {-33.9, 151.2, 45}, {70.0, -150.0, 300}, {1e-3, 179.9, -50},
                                         {-85.0, 20.0, 1200}, {22.5, 114.1, 20.0}};
    std::ostringstream input;
    input.precision(17);
    std::vector<pt::Point3d> ecef;
    for (const auto& g : geodetic) {
        ecef.push_back(fw::geodeticToECEF(g.x, g.y, g.z));
        input << ecef.back().x << " " << ecef.back().y << " " << ecef.back().z << "\n";
    }
    const auto result = testsupport::runProcess({"/usr/bin/cs2cs", "-f", "%.12f", "EPSG:4978", "EPSG:4979"}, input.str());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = testsupport::splitLines(result.out);
    ASSERT_EQ(lines.size(), ecef.size());
    for (size_t i = 0; i < ecef.size(); ++i) {
        std::istringstream fields(lines[i]);
        double lat = 0, lon = 0, h = 0;
        fields >> lat >> lon >> h;
        const pt::Point3d ours = ecefToGeodetic(ecef[i].x, ecef[i].y, ecef[i].z);
        EXPECT_NEAR(ours.x, lat, 1e-9) << lines[i];
        EXPECT_NEAR(ours.y, lon, 1e-9) << lines[i];
        EXPECT_NEAR(ours.z, h, 1e-3) << lines[i];
    }
    const pt::Point3d east = ecefToGeodetic(0.0, 6378137.0, 0.0);
    EXPECT_NEAR(east.y, 90.0, 1e-12);
    EXPECT_NEAR(east.z, 0.0, 1e-6);
}

TEST(EnuRotation, ColumnsAreEastNorthUp) {
    const fw::SO3 q = enuRotation(50.0, 10.0);
    const pt::Point3d up = q * pt::Point3d{0, 0, 1};
    const pt::Point3d g = fw::geodeticToECEF(50.0, 10.0, 0.0);
    const pt::Point3d g1 = fw::geodeticToECEF(50.0, 10.0, 1.0);
    EXPECT_NEAR(up.x, g1.x - g.x, 1e-6);
    EXPECT_NEAR(up.y, g1.y - g.y, 1e-6);
    EXPECT_NEAR(up.z, g1.z - g.z, 1e-6);
    const pt::Point3d east = q * pt::Point3d{1, 0, 0};
    EXPECT_NEAR(east.x, -std::sin(10.0 * M_PI / 180), 1e-12);
    EXPECT_NEAR(east.z, 0.0, 1e-12);
    const pt::Point3d north = q * pt::Point3d{0, 1, 0};
    EXPECT_NEAR(north.z, std::cos(50.0 * M_PI / 180), 1e-12);
}

TEST(Sim3, PointAndProduct) {
    const fw::SIM3 s(fw::SE3(fw::SO3(), {1, 2, 3}), 2.0);
    const pt::Point3d p = s * pt::Point3d{1, 0, 0};
    EXPECT_DOUBLE_EQ(p.x, 3.0);
    EXPECT_DOUBLE_EQ(p.y, 2.0);
    EXPECT_DOUBLE_EQ(p.z, 3.0);
    // 90 degrees about z, scale 3; a * b applied to a point equals a(b(point)).
    const double h = std::sqrt(0.5);
    const fw::SIM3 a(fw::SE3(fw::SO3(0, 0, h, h), {0.5, -1, 2}), 3.0);
    const fw::SIM3 b(fw::SE3(fw::SO3(h, 0, 0, h), {4, 0, -1}), 0.5);
    const fw::SIM3 ab = a * b;
    EXPECT_DOUBLE_EQ(ab.scale, 1.5);
    const pt::Point3d q{0.3, -0.7, 1.1};
    const pt::Point3d direct = ab * q, nested = a * (b * q);
    EXPECT_NEAR(direct.x, nested.x, 1e-12);
    EXPECT_NEAR(direct.y, nested.y, 1e-12);
    EXPECT_NEAR(direct.z, nested.z, 1e-12);
}

}  // namespace
