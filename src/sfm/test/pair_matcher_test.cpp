// Sparse matching of two views of a synthetic ground with known poses.
#include "sfm/pair_matcher.h"
#include "synthetic/synthetic_scene.h"

#include <gtest/gtest.h>

using namespace sfm;
using synthetic::GroundScene;
using synthetic::lookingDown;

namespace {

const cv::Matx33d kK(700, 0, 400, 0, 700, 300, 0, 0, 1);
const cv::Size kSize(800, 600);

PinholeView view(const GroundScene& scene, const cv::Matx33d& R, const cv::Vec3d& C) {
    return {scene.render(kK, R, C, kSize), kK, R, C};
}

// Every point is checked against the ground: its depth in the first view
// within 1 % of the plane's depth along the same pixel's ray.
void expectOnGround(const GroundScene& scene, const PinholeView& a, const PinholeView& b,
                    const std::vector<PairPoint>& points) {
    for (const PairPoint& p : points) {
        const double trueDepth = scene.depthAt(a.K, a.R, a.centre, p.a.x, p.a.y);
        EXPECT_NEAR(p.depthA, trueDepth, 0.01 * trueDepth) << p.a;
        const cv::Vec3d inB = b.R.t() * (p.world - b.centre);
        EXPECT_NEAR(p.depthB, inB[2], 1e-6);
        const cv::Vec3d pb = b.K * inB;
        EXPECT_LT(cv::norm(cv::Point2d(pb[0] / pb[2], pb[1] / pb[2]) - p.b), 2.0);
    }
}

}  // namespace

TEST(PairMatcher, NadirPairAlongTheFlightLine) {
    const GroundScene scene = GroundScene::make();
    const cv::Matx33d R = lookingDown(scene.east, scene.north, 0.0);
    const PinholeView a = view(scene, R, {0, 0, 100}), b = view(scene, R, {25, 0, 100});
    const auto points = matchPair(a, b);
    EXPECT_GE(points.size(), 50u);
    expectOnGround(scene, a, b, points);
}

TEST(PairMatcher, TurnedAndTiltedSecondView) {
    const GroundScene scene = GroundScene::make();
    const cv::Matx33d Ra = lookingDown(scene.east, scene.north, 0.3);
    // Half a turn (the next flight line) and a slight tilt about the camera's x axis.
    const double tilt = 0.05;
    const cv::Matx33d tiltX(1, 0, 0, 0, std::cos(tilt), -std::sin(tilt), 0, std::sin(tilt), std::cos(tilt));
    const cv::Matx33d Rb = lookingDown(scene.east, scene.north, 0.3 + CV_PI) * tiltX;
    const PinholeView a = view(scene, Ra, {0, 0, 120}), b = view(scene, Rb, {10, 20, 110});
    const auto points = matchPair(a, b);
    EXPECT_GE(points.size(), 50u);
    expectOnGround(scene, a, b, points);
}

TEST(PairMatcher, NoBaselineOrNoImageGivesNothing) {
    const GroundScene scene = GroundScene::make(1000);
    const cv::Matx33d R = lookingDown(scene.east, scene.north, 0.0);
    const PinholeView a = view(scene, R, {0, 0, 100});
    EXPECT_TRUE(matchPair(a, a).empty());
    PinholeView empty = a;
    empty.grey = cv::Mat();
    EXPECT_TRUE(matchPair(a, empty).empty());
    PinholeView colour = a;
    cv::cvtColor(a.grey, colour.grey, cv::COLOR_GRAY2BGR);
    EXPECT_TRUE(matchPair(colour, a).empty());
}

TEST(PairMatcher, ViewsWithoutOverlapGiveNothing) {
    const GroundScene scene = GroundScene::make();
    const cv::Matx33d R = lookingDown(scene.east, scene.north, 0.0);
    const PinholeView a = view(scene, R, {-100, 0, 60}), b = view(scene, R, {100, 0, 60});
    EXPECT_TRUE(matchPair(a, b).empty());
}
