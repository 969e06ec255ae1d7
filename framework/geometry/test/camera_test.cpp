#include "fw/camera.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <cmath>

namespace {

using fw::CameraImpl;

void expectRelative(double actual, double expected, double rel, const char* what) {
    EXPECT_NEAR(actual, expected, rel * std::max(1.0, std::fabs(expected))) << what;
}

// unproject(project(p)) must give the ray (x/z, y/z, 1) of p.
void expectRoundTrip(const CameraImpl& cam, const pt::Point3d& p) {
    SCOPED_TRACE(cam.info());
    const pt::Point3d ray = cam.unproject(cam.project(p));
    expectRelative(ray.x, p.x / p.z, 1e-9, "x");
    expectRelative(ray.y, p.y / p.z, 1e-9, "y");
    EXPECT_EQ(ray.z, 1.0);
}

const std::vector<pt::Point3d> kPoints = {
    {0.3, -0.2, 1.0}, {1.5, 0.8, 4.0}, {-2.0, -1.0, 10.0}, {0.05, 0.1, 0.5}, {-0.4, 0.35, 1.7}};

}  // namespace

TEST(CameraCreate, ParameterCountPicksTheModel) {
    struct Case {
        std::vector<double> p;
        const char* type;
        bool valid;
        const char* info;
    } cases[] = {
        {{}, "NoCamera", false, "NoCamera:[]"},
        {{640}, "NoCamera", false, "NoCamera:[]"},
        {{640, 480, 500}, "NoCamera", false, "NoCamera:[]"},
        {{640, 480, 500, 500, 320}, "NoCamera", false, "NoCamera:[]"},
        {{640, 480, 500, 500, 320, 240, 0.1, 0.2}, "NoCamera", false, "NoCamera:[]"},
        {{640, 480, 500, 500, 320, 240, 0, 0, 0, 0, 0, 0}, "NoCamera", false, "NoCamera:[]"},
        {{640.9, 480.2}, "Ideal", true, "Ideal:[640,480]"},
        {{640, 480, 500, 500, 320, 240}, "PinHole", true, "PinHole:[640,480,500,500,320,240]"},
        {{640, 480, 500, 501, 320.5, 240, 0.9}, "ATAN", true, "ATAN:[640,480,500,501,320.5,240,0.9]"},
        {{4000, 3000, 2934.56789, 2934.5, 2000, 1500, -0.1, 0.02, 1e-4, -2e-4, 0},
         "OpenCV", true, "OpenCV:[4000,3000,2934.57,2934.5,2000,1500,-0.1,0.02,0.0001,-0.0002,0]"},
    };
    for (const auto& c : cases) {
        auto cam = CameraImpl::create(c.p);
        ASSERT_TRUE(cam);
        EXPECT_EQ(cam->typeName(), c.type);
        EXPECT_EQ(cam->isValid(), c.valid);
        EXPECT_EQ(cam->info(), c.info);
        if (std::string(c.type) == "NoCamera") {
            EXPECT_EQ(cam->width, -1);
            EXPECT_EQ(cam->height, -1);
            EXPECT_TRUE(cam->parameterVector().empty());
            const pt::Point2d px = cam->project({1, 2, 3});
            EXPECT_EQ(px.x, -1);
            EXPECT_EQ(px.y, -1);
            const pt::Point3d ray = cam->unproject({10, 20});
            EXPECT_EQ(ray.x, 0);
            EXPECT_EQ(ray.y, 0);
            EXPECT_EQ(ray.z, 0);
            EXPECT_FALSE(cam->scaleBy(2.0));
        } else {
            EXPECT_EQ(cam->parameterVector().size(), c.p.size());
        }
    }
}

TEST(CameraCreate, SizesWithoutAnIntegerFormGiveInvalidCameras) {
    for (double bad : {std::nan(""), 1e20, -3e9}) {
        auto cam = CameraImpl::create({bad, 480, 500, 500, 320, 240});
        EXPECT_EQ(cam->width, -1);
        EXPECT_FALSE(cam->isValid());
    }
}

TEST(CameraPinhole, ZeroFocalLengthLeavesInverseZero) {
    auto cam = CameraImpl::create({640, 480, 0, 500, 320, 240});
    EXPECT_FALSE(cam->isValid());
    auto* pin = dynamic_cast<fw::CameraPinhole*>(cam.get());
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->fxInv, 0.0);
    EXPECT_EQ(pin->fyInv, 0.0);
    for (const pt::Point2d px : {pt::Point2d(0, 0), pt::Point2d(100, 37), pt::Point2d(-5, 900)}) {
        const pt::Point3d ray = cam->unproject(px);
        EXPECT_EQ(ray.x, 0.0);
        EXPECT_EQ(ray.y, 0.0);
        EXPECT_EQ(ray.z, 1.0);
    }
}

TEST(CameraModels, PointsBehindTheCameraGiveMinusOne) {
    const std::vector<std::shared_ptr<CameraImpl>> cams = {
        CameraImpl::create({640, 480, 500, 500, 320, 240}),
        CameraImpl::create({640, 480, 500, 500, 320, 240, 0.9}),
        CameraImpl::create({640, 480, 500, 500, 320, 240, 0.1, 0.01, 0.001, 0.001, 0.001})};
    for (const auto& cam : cams) {
        for (double z : {0.0, -0.0, -2.0, std::nan("")}) {
            const pt::Point2d px = cam->project({0.1, 0.2, z});
            EXPECT_EQ(px.x, -1) << cam->typeName() << " z=" << z;
            EXPECT_EQ(px.y, -1) << cam->typeName() << " z=" << z;
        }
    }
}

TEST(CameraModels, ProjectUnprojectRoundTrips) {
    // Ideal and pinhole.
    const fw::CameraIdeal ideal(640, 480);
    const fw::CameraPinhole pin(640, 480, 512.5, 498.25, 319.5, 241.0);
    // ATAN: every point of kPoints has a normalised radius above both thresholds.
    const fw::CameraATAN atan(640, 480, 512.5, 498.25, 319.5, 241.0, 0.9);
    // OpenCV: mild distortion, so that five iterations converge to rounding.
    const fw::CameraOpenCV ocv(640, 480, 512.5, 498.25, 319.5, 241.0, -0.02, 0.004, 2e-4, -1e-4,
                               -5e-4);
    for (const CameraImpl* cam : std::initializer_list<const CameraImpl*>{&ideal, &pin, &atan, &ocv})
        for (const auto& p : kPoints) expectRoundTrip(*cam, p);
    // Pixel -> ray -> pixel for the pinhole.
    const pt::Point2d px = pin.project(pin.unproject({17.25, 401.5}));
    EXPECT_NEAR(px.x, 17.25, 1e-9);
    EXPECT_NEAR(px.y, 401.5, 1e-9);
}

TEST(CameraPinhole, ProjectsByHand) {
    const fw::CameraPinhole pin(640, 480, 500, 400, 320, 240);
    // z = 1 and z = 2, worked by hand.
    pt::Point2d px = pin.project({0.1, -0.2, 1.0});
    EXPECT_DOUBLE_EQ(px.x, 370);
    EXPECT_DOUBLE_EQ(px.y, 160);
    px = pin.project({0.1, -0.2, 2.0});
    EXPECT_DOUBLE_EQ(px.x, 345);
    EXPECT_DOUBLE_EQ(px.y, 200);
}

TEST(CameraATAN, RelativeFocalLengthsAndDistortionOff) {
    fw::CameraATAN rel(1000, 800, 0.5, 0.6, 0.5, 0.5, 0.9);
    EXPECT_DOUBLE_EQ(rel.fx, 500);
    EXPECT_DOUBLE_EQ(rel.fy, 480);
    EXPECT_DOUBLE_EQ(rel.cx, 500);
    EXPECT_DOUBLE_EQ(rel.cy, 400);
    EXPECT_TRUE(rel.useDistortion);
    EXPECT_DOUBLE_EQ(rel.tan2w, 2 * std::tan(0.45));

    fw::CameraATAN mixed(1000, 800, 0.5, 2.0, 0.5, 0.5, 0.9);
    EXPECT_EQ(mixed.fx, 0.5);
    EXPECT_EQ(mixed.fy, 2.0);
    EXPECT_EQ(mixed.cx, 0.5);

    // d = 0 behaves like the pinhole.
    const fw::CameraATAN flat(640, 480, 500, 480, 320, 240, 0.0);
    const fw::CameraPinhole pin(640, 480, 500, 480, 320, 240);
    EXPECT_FALSE(flat.useDistortion);
    for (const auto& p : kPoints) {
        const pt::Point2d a = flat.project(p), b = pin.project(p);
        EXPECT_NEAR(a.x, b.x, 1e-9);
        EXPECT_NEAR(a.y, b.y, 1e-9);
        const pt::Point3d ra = flat.unproject(a), rb = pin.unproject(a);
        EXPECT_NEAR(ra.x, rb.x, 1e-12);
        EXPECT_NEAR(ra.y, rb.y, 1e-12);
    }
}

TEST(CameraATAN, DistortionByHand) {
    const fw::CameraATAN cam(640, 480, 500, 500, 320, 240, 0.9);
    // r = 0.5: factor = atan(0.5 · 2tan(0.45)) / (0.9 · 0.5).
    const double factor = std::atan(0.5 * 2 * std::tan(0.45)) / 0.45;
    const pt::Point2d px = cam.project({0.3, 0.4, 1.0});
    EXPECT_NEAR(px.x, factor * 500 * 0.3 + 320, 1e-9);
    EXPECT_NEAR(px.y, factor * 500 * 0.4 + 240, 1e-9);
    // Below r = 0.001 the factor is 1.
    const pt::Point2d near = cam.project({0.0005, 0.0, 1.0});
    EXPECT_DOUBLE_EQ(near.x, 320.25);
}

TEST(CameraATAN, InvalidCameraPrintsItsInfo) {
    testing::internal::CaptureStdout();
    fw::CameraATAN cam(0, 480, 500, 500, 320, 240, 0.9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Camera not valid!Info:ATAN:[0,480,500,500,320,240,0.9]\n");
    EXPECT_EQ(cam.updateDerivedValues(), -1);
    EXPECT_EQ(cam.fxInv, 0.0);
    EXPECT_FALSE(cam.useDistortion);

    testing::internal::CaptureStdout();
    auto ocv = CameraImpl::create({640, 480, 500, 0, 320, 240, 0, 0, 0, 0, 0});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Camera not valid!Info:OpenCV:[640,480,500,0,320,240,0,0,0,0,0]\n");
    EXPECT_FALSE(ocv->isValid());
}

TEST(CameraOpenCV, AgreesWithOpenCV) {
    const double k1 = -0.12, k2 = 0.03, p1 = 1e-3, p2 = -8e-4, k3 = -0.004;
    const fw::CameraOpenCV cam(4000, 3000, 2934.5, 2930.25, 2001.5, 1498.0, k1, k2, p1, p2, k3);
    const cv::Matx33d K(2934.5, 0, 2001.5, 0, 2930.25, 1498.0, 0, 0, 1);
    const std::vector<double> dist = {k1, k2, p1, p2, k3};
    std::vector<cv::Point3d> objects;
    for (const auto& p : kPoints) objects.emplace_back(p.x, p.y, p.z);
    std::vector<cv::Point2d> pixels;
    cv::projectPoints(objects, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, dist, pixels);
    std::vector<cv::Point2d> rays;
    cv::undistortPoints(pixels, rays, K, dist);
    for (size_t i = 0; i < kPoints.size(); ++i) {
        const pt::Point2d px = cam.project(kPoints[i]);
        EXPECT_NEAR(px.x, pixels[i].x, 1e-7) << i;
        EXPECT_NEAR(px.y, pixels[i].y, 1e-7) << i;
        // OpenCV's own undistortion also runs five fixed-point iterations.
        const pt::Point3d ray = cam.unproject({pixels[i].x, pixels[i].y});
        EXPECT_NEAR(ray.x, rays[i].x, 1e-9) << i;
        EXPECT_NEAR(ray.y, rays[i].y, 1e-9) << i;
    }
}

TEST(CameraScale, HalvesSizesAndIntrinsics) {
    auto pin = CameraImpl::create({641, 481, 500, 400, 320, 240});
    ASSERT_TRUE(pin->scaleBy(0.5));
    EXPECT_EQ(pin->info(), "PinHole:[320,240,250,200,160,120]");
    const pt::Point3d ray = pin->unproject({410, 220});  // uses the refreshed inverses
    EXPECT_DOUBLE_EQ(ray.x, 1.0);
    EXPECT_DOUBLE_EQ(ray.y, 0.5);

    auto atan = CameraImpl::create({641, 481, 500, 400, 320, 240, 0.9});
    ASSERT_TRUE(atan->scaleBy(0.5));
    EXPECT_EQ(atan->info(), "ATAN:[320,240,250,200,160,120,0.9]");
    EXPECT_DOUBLE_EQ(dynamic_cast<fw::CameraATAN&>(*atan).fxInv, 1.0 / 250);

    auto ocv = CameraImpl::create({641, 481, 500, 400, 320, 240, 0.1, 0, 0, 0, 0});
    ASSERT_TRUE(ocv->scaleBy(0.5));
    EXPECT_EQ(ocv->width, 320);
    EXPECT_DOUBLE_EQ(dynamic_cast<fw::CameraOpenCV&>(*ocv).fyInv, 1.0 / 200);

    auto ideal = CameraImpl::create({641, 481});
    EXPECT_FALSE(ideal->scaleBy(0.5));
    EXPECT_EQ(ideal->width, 641);

    // A size without an int32 form is refused and changes nothing.
    for (double s : {1e10, std::nan("")}) {
        EXPECT_FALSE(pin->scaleBy(s));
        EXPECT_EQ(pin->info(), "PinHole:[320,240,250,200,160,120]");
    }
}
