#include "fw/geodetic.h"
#include "fw/matrix3.h"
#include "fw/pose.h"
#include "proj_tool.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <cmath>
#include <random>

namespace {

struct Quat {
    double x, y, z, w;
};

// Component equal to the expected one, sign of zero included.
void expectExactly(double actual, double expected, const char* what) {
    EXPECT_EQ(actual, expected) << what;
    EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << what << " sign";
}

fw::Matrix3 matrixOf(const cv::Matx33d& r) {
    fw::Matrix3 m;
    for (int i = 0; i < 9; ++i) m.m[i] = r.val[i];
    return m;
}

// Rotation matrices from OpenCV's Rodrigues formula, independent of the quaternion code.
cv::Matx33d rodrigues(double ax, double ay, double az) {
    cv::Matx33d r;
    cv::Rodrigues(cv::Vec3d(ax, ay, az), r);
    return r;
}

void expectNear(const pt::Point3d& a, const pt::Point3d& b, double tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

}  // namespace

TEST(SO3FromMatrix, DiagonalAndDegenerateMatricesFollowTheSignRule) {
    // Worked by hand: the largest root keeps +, every other sign comes from
    // s(0) = -1, so the zero components are negative zeros.
    struct Case {
        const char* name;
        double m[9];
        Quat q;
    } cases[] = {
        {"identity", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {-0.0, -0.0, -0.0, 1}},
        {"180 about x", {1, 0, 0, 0, -1, 0, 0, 0, -1}, {1, -0.0, -0.0, -0.0}},
        {"180 about y", {-1, 0, 0, 0, 1, 0, 0, 0, -1}, {-0.0, 1, -0.0, -0.0}},
        {"180 about z", {-1, 0, 0, 0, -1, 0, 0, 0, 1}, {-0.0, -0.0, 1, -0.0}},
        // All four candidates are 1/4: the w branch wins the tie, roots 0.5.
        {"zero matrix", {0, 0, 0, 0, 0, 0, 0, 0, 0}, {-0.5, -0.5, -0.5, 0.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fw::SO3 q(9, 9, 9, 9);
        EXPECT_TRUE(q.fromMatrix(c.m));
        expectExactly(q.x, c.q.x, "x");
        expectExactly(q.y, c.q.y, "y");
        expectExactly(q.z, c.q.z, "z");
        expectExactly(q.w, c.q.w, "w");
    }
}

TEST(SO3FromMatrix, NotANumberReportsCodingErrorAndKeepsTheRoots) {
    const double nan = std::nan("");
    const double m[9] = {nan, 0, 0, 0, 1, 0, 0, 0, 1};
    fw::SO3 q;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(q.fromMatrix(m));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "coding error\n");
    EXPECT_TRUE(std::isnan(q.w));
    EXPECT_TRUE(std::isnan(q.x));
}

TEST(SO3FromMatrix, RotatesLikeTheMatrixForEveryBranch) {
    // Rotations whose largest candidate is w, x, y and z in turn, plus random ones;
    // the quaternion must move points as OpenCV's matrix does.
    std::vector<cv::Vec3d> axes = {{0.3, -0.2, 0.1}, {3.0, 0.2, -0.1}, {0.1, -3.0, 0.3},
                                   {-0.2, 0.1, 3.1}};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> angle(-3.1, 3.1);
    for (int i = 0; i < 40; ++i) axes.push_back({angle(rng), angle(rng), angle(rng)});
    const pt::Point3d p(1.5, -2.0, 0.25);
    for (const auto& a : axes) {
        const cv::Matx33d r = rodrigues(a[0], a[1], a[2]);
        fw::SO3 q;
        ASSERT_TRUE(q.fromMatrix(matrixOf(r)));
        EXPECT_NEAR(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w, 1.0, 1e-12);
        const cv::Vec3d rp = r * cv::Vec3d(p.x, p.y, p.z);
        expectNear(q * p, {rp[0], rp[1], rp[2]}, 1e-12);
    }
}

TEST(SO3, ProductAndRotationMatchMatrices) {
    // 90 degrees about z, by hand: x goes to y.
    const double h = std::sqrt(0.5);
    expectNear(fw::SO3(0, 0, h, h) * pt::Point3d(1, 0, 0), {0, 1, 0}, 1e-15);
    // (qa · qb) p = Ra Rb p, with the matrices from OpenCV.
    const cv::Matx33d ra = rodrigues(0.4, -1.1, 0.7), rb = rodrigues(-2.0, 0.3, 1.2);
    fw::SO3 qa, qb;
    ASSERT_TRUE(qa.fromMatrix(matrixOf(ra)));
    ASSERT_TRUE(qb.fromMatrix(matrixOf(rb)));
    const pt::Point3d p(0.3, 4.0, -1.0);
    const cv::Vec3d expected = ra * (rb * cv::Vec3d(p.x, p.y, p.z));
    expectNear((qa * qb) * p, {expected[0], expected[1], expected[2]}, 1e-12);
}

TEST(SE3, CompositionInverseAndPoints) {
    fw::SO3 q;
    ASSERT_TRUE(q.fromMatrix(matrixOf(rodrigues(0.5, 1.0, -0.3))));
    const fw::SE3 a(q, {10, -20, 5});
    fw::SO3 q2;
    ASSERT_TRUE(q2.fromMatrix(matrixOf(rodrigues(-1.2, 0.1, 2.0))));
    const fw::SE3 b(q2, {-1, 2, 3});
    const pt::Point3d p(0.7, -0.2, 9.0);

    // (a·b) p = a (b p)
    expectNear((a * b) * p, a * (b * p), 1e-12);
    expectNear(fw::transformPoint(a, p), a * p, 0);
    // Inverse either side gives the identity; T⁻¹(T p) = p.
    for (const fw::SE3& id : {a * a.inverse(), a.inverse() * a}) {
        expectNear(id.translation, {0, 0, 0}, 1e-12);
        EXPECT_NEAR(std::fabs(id.rotation.w), 1.0, 1e-12);
        expectNear(id * p, p, 1e-12);
    }
    expectNear(a.inverse() * (a * p), p, 1e-12);

    const fw::SE3 identity;
    const fw::SE3 inv = identity.inverse();
    EXPECT_EQ(inv.rotation.w, 1.0);
    EXPECT_EQ(inv.rotation.x, 0.0);
    expectNear(inv.translation, {0, 0, 0}, 0);

    const fw::SIM3 sim;
    EXPECT_EQ(sim.scale, 1.0);
    EXPECT_EQ(sim.rotation.w, 1.0);
}

TEST(Matrix3Inverse, ExactZeroDeterminantOnly) {
    // Inverse worked by hand: det = 1, integer entries.
    fw::Matrix3 m{{2, 3, 1, 1, 2, 1, 1, 1, 1}};
    bool ok = false;
    fw::Matrix3 inv = m.inverse(&ok);
    EXPECT_TRUE(ok);
    const double expected[9] = {1, -2, 1, 0, 1, -1, -1, 1, 1};
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(inv.m[i], expected[i], 1e-15) << i;

    // Singular: nine zeros and a false flag; the flag is optional.
    fw::Matrix3 singular{{1, 2, 3, 2, 4, 6, 7, 8, 9}};
    ok = true;
    inv = singular.inverse(&ok);
    EXPECT_FALSE(ok);
    for (double v : inv.m) EXPECT_EQ(v, 0.0);
    inv = singular.inverse();
    for (double v : inv.m) EXPECT_EQ(v, 0.0);

    // Nearly singular and a random matrix: compared with OpenCV's inverse.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> v(-5, 5);
    fw::Matrix3 near{{1, 2, 3, 2, 4, 6 + 1e-9, 7, 8, 9}};
    fw::Matrix3 rnd;
    for (double& e : rnd.m) e = v(rng);
    for (const fw::Matrix3& a : {near, rnd}) {
        cv::Matx33d c;
        for (int i = 0; i < 9; ++i) c.val[i] = a.m[i];
        const cv::Matx33d ci = c.inv(cv::DECOMP_LU);
        ok = false;
        inv = a.inverse(&ok);
        EXPECT_TRUE(ok);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(inv.m[i], ci.val[i], 1e-6 * (1 + std::fabs(ci.val[i]))) << i;
    }
}

TEST(GeodeticToECEF, ReferencePoints) {
    // By hand: on the equator at the prime meridian x = a; at the pole z = b + h.
    pt::Point3d p = fw::geodeticToECEF(0, 0, 0);
    EXPECT_EQ(p.x, 6378137.0);
    EXPECT_EQ(p.y, 0.0);
    EXPECT_EQ(p.z, 0.0);
    p = fw::geodeticToECEF(90, 30, 100);
    EXPECT_NEAR(p.x, 0, 1e-6);
    EXPECT_NEAR(p.y, 0, 1e-6);
    EXPECT_NEAR(p.z, 6356752.314245 + 100, 1e-6);
    // Longitude 90 on the equator lies on the y axis.
    p = fw::geodeticToECEF(0, 90, -50);
    EXPECT_NEAR(p.x, 0, 1e-6);
    EXPECT_NEAR(p.y, 6378137.0 - 50, 1e-6);
}

TEST(GeodeticToECEF, AgreesWithProj) {
    const std::vector<std::vector<double>> cases = {  // lat, lon, h
        {0, 0, 0},     {30.5, 114.3, 25.0},   {-33.9, 151.2, 1200.0},
        {89.9, -45, 0}, {51.477, -0.0015, 46}, {-78.0, 166.7, -30.5}};
    std::vector<std::vector<double>> input;
    for (const auto& c : cases) input.push_back({c[1], c[0], c[2]});
    const auto r = projtool::run("cs2cs",
                                 {"-f", "%.6f", "+proj=longlat", "+ellps=WGS84", "+to",
                                  "+proj=geocent", "+ellps=WGS84"},
                                 input);
    ASSERT_EQ(r.process.exitCode, 0) << r.process.err;
    ASSERT_EQ(r.rows.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(r.rows[i].size(), 3u);
        const pt::Point3d p = fw::geodeticToECEF(cases[i][0], cases[i][1], cases[i][2]);
        // b differs from PROJ's by 0.2 micrometres; PROJ prints six decimals.
        EXPECT_NEAR(p.x, r.rows[i][0], 2e-6) << i;
        EXPECT_NEAR(p.y, r.rows[i][1], 2e-6) << i;
        EXPECT_NEAR(p.z, r.rows[i][2], 2e-6) << i;
    }
}

TEST(Point3, WideningFromFloat) {
    const pt::Point3f f(1.5f, -0.25f, 3.0e-3f);
    const pt::Point3d d(f);
    EXPECT_EQ(d.x, double(f.x));
    EXPECT_EQ(d.y, double(f.y));
    EXPECT_EQ(d.z, double(f.z));
}
