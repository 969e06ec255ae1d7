// The pruner: its sampling step and mask, the two point sets and their sinks.

#include "stereo_dense/pruner.h"

#include "fw/messenger.h"
#include "fw/settings.h"

#include "testsupport/captured_log.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace {

using Points = std::vector<pt::Point3_<float>>;
using Colours = std::vector<pt::Point3_<unsigned char>>;
using World = std::vector<pt::Point3_<double>>;

void setKey(const std::string& key, const std::string& value) { fw::Settings::instance().setvar(key, value, true); }

TEST(PrunerStep, DefaultByDepthMapSize) {
    struct Case {
        int rows, cols, step;
    };
    const Case cases[] = {{2100, 2800, 4}, {400, 600, 1}, {699, 699, 1}, {700, 10, 1}, {10, 1400, 2}, {0, 0, 1}};
    for (const Case& c : cases) EXPECT_EQ(Pruner::defaultStep(c.rows, c.cols), c.step) << c.rows << " x " << c.cols;
}

TEST(PrunerMask, UniformImageKeepsTheGrid) {
    const cv::Mat mask = Pruner::samplingMask(cv::Mat(16, 12, CV_8UC3, cv::Scalar(90, 90, 90)), 4);
    for (int r = 0; r < mask.rows; ++r)
        for (int c = 0; c < mask.cols; ++c)
            EXPECT_EQ(mask.at<uint8_t>(r, c), (r % 4 == 0 && c % 4 == 0) ? 1 : 0) << r << "," << c;
    EXPECT_EQ(cv::countNonZero(Pruner::samplingMask(cv::Mat(5, 5, CV_8UC3, cv::Scalar(1, 2, 3)), 0)), 25)
        << "a step below 1 means 1";
}

// A bright pixel on black: its four neighbours respond with its value, the
// pixel itself negatively (saturated to 0).
TEST(PrunerMask, LaplacianAboveFifty) {
    struct Case {
        int value;
        bool kept;
    };
    for (const Case c : {Case{51, true}, Case{50, false}, Case{200, true}}) {
        cv::Mat image(9, 9, CV_8UC3, cv::Scalar(0, 0, 0));
        image.at<cv::Vec3b>(4, 4) = cv::Vec3b(uint8_t(c.value), uint8_t(c.value), uint8_t(c.value));
        const cv::Mat mask = Pruner::samplingMask(image, 100);
        SCOPED_TRACE(c.value);
        EXPECT_EQ(mask.at<uint8_t>(3, 4), c.kept ? 1 : 0);
        EXPECT_EQ(mask.at<uint8_t>(4, 5), c.kept ? 1 : 0);
        EXPECT_EQ(mask.at<uint8_t>(4, 4), 0) << "negative response";
        EXPECT_EQ(mask.at<uint8_t>(0, 0), 1) << "grid corner";
        EXPECT_EQ(cv::countNonZero(mask), c.kept ? 5 : 1);
    }
}

struct Delivery {
    dv::Var frame;
    World world;
    Points points;
    Colours colours;
};

// Collects what the two sinks receive, in call order.
struct Sinks {
    std::vector<std::string> calls;
    std::vector<Delivery> terrain, cloud;
    Pruner::Sink terrainSink() {
        return [this](dv::Var& m) {
            calls.push_back("terrain");
            terrain.push_back({m[0], m[1].convert<World>(), {}, {}});
        };
    }
    Pruner::Sink cloudSink() {
        return [this](dv::Var& m) {
            calls.push_back("cloud");
            cloud.push_back({m[0], {}, m[1].convert<Points>(), m[2].convert<Colours>()});
        };
    }
};

// A 4 x 4 record looking down the z axis from pose, with depth 10 and count 2.
std::shared_ptr<ImageScaled> record(const fw::SE3& pose) {
    auto r = std::make_shared<ImageScaled>();
    r->frame = std::make_shared<fw::MapFrame>(7, 7.0);
    r->frame->setPose(pose);
    r->pose = pose;
    const double K[9] = {2, 0, 1.5, 0, 2, 1.5, 0, 0, 1};
    std::copy(K, K + 9, r->K);
    r->depth = cv::Mat(4, 4, CV_32FC1, cv::Scalar(10.0f));
    r->consistency = cv::Mat(4, 4, CV_8UC1, cv::Scalar(2));
    r->rectified = cv::Mat(4, 4, CV_8UC3, cv::Scalar(10, 20, 30));
    return r;
}

class PrunerSets : public ::testing::Test {
protected:
    void SetUp() override { setKey("pointsfusion.resample_step", "1"); }
    void TearDown() override { setKey("pointsfusion.resample_step", "1"); }
};

TEST_F(PrunerSets, CountsAndDepthDecideTheSets) {
    const fw::SE3 pose(fw::SO3(), pt::Point3d(100, 200, 300));
    auto r = record(pose);
    r->consistency.at<uint8_t>(0, 1) = 1;           // unconfirmed: neither set
    r->consistency.at<uint8_t>(0, 2) = 0;           // rejected: terrain only
    r->depth.at<float>(0, 3) = 0.001f;              // too close: neither
    r->depth.at<float>(1, 0) = 0.0f;                // no depth: neither
    Sinks sinks;
    Pruner pruner(sinks.terrainSink(), sinks.cloudSink());
    fw::Messenger::instance().publish("sbt.cleaned_frames", r);
    ASSERT_EQ(sinks.calls, (std::vector<std::string>{"terrain", "cloud"}));
    EXPECT_EQ(sinks.terrain[0].world.size(), 13u);
    EXPECT_EQ(sinks.cloud[0].points.size(), 12u);
    EXPECT_EQ(sinks.cloud[0].colours.size(), 12u);
    EXPECT_EQ(sinks.terrain[0].frame.convert<std::shared_ptr<fw::MapFrame>>(), r->frame);
    // Identical poses: the point-cloud points are the camera points, in RGB.
    const pt::Point3_<float>& p = sinks.cloud[0].points[0];
    EXPECT_FLOAT_EQ(p.x, -7.5f);
    EXPECT_FLOAT_EQ(p.y, -7.5f);
    EXPECT_FLOAT_EQ(p.z, 10.0f);
    EXPECT_EQ(sinks.cloud[0].colours[0].x, 30);
    EXPECT_EQ(sinks.cloud[0].colours[0].z, 10);
    const pt::Point3_<double>& w = sinks.terrain[0].world[0];
    EXPECT_DOUBLE_EQ(w.x, 92.5);
    EXPECT_DOUBLE_EQ(w.y, 192.5);
    EXPECT_DOUBLE_EQ(w.z, 310.0);
}

TEST_F(PrunerSets, PointCloudIsRelativeToTheFramesCurrentPose) {
    auto r = record(fw::SE3(fw::SO3(), pt::Point3d(0, 0, 0)));
    r->frame->setPose(fw::SE3(fw::SO3(), pt::Point3d(1, 2, 3)));  // moved since its depth
    Sinks sinks;
    Pruner pruner(sinks.terrainSink(), sinks.cloudSink());
    pruner.process(r);
    ASSERT_EQ(sinks.cloud.size(), 1u);
    const pt::Point3_<float>& p = sinks.cloud[0].points[0];
    EXPECT_FLOAT_EQ(p.x, -7.5f - 1.0f);
    EXPECT_FLOAT_EQ(p.y, -7.5f - 2.0f);
    EXPECT_FLOAT_EQ(p.z, 10.0f - 3.0f);
}

TEST_F(PrunerSets, TheGridThinsOnlyThePointCloud) {
    setKey("pointsfusion.resample_step", "2");
    auto r = record(fw::SE3());
    Sinks sinks;
    Pruner pruner(sinks.terrainSink(), sinks.cloudSink());
    pruner.process(r);
    EXPECT_EQ(sinks.terrain[0].world.size(), 16u);
    EXPECT_EQ(sinks.cloud[0].points.size(), 4u);
}

// Both sinks hear of every frame, also of one that yields no points, which
// is named as left out of the maps, once.
TEST_F(PrunerSets, BothSinksForEveryFrame) {
    Sinks sinks;
    Pruner pruner(sinks.terrainSink(), sinks.cloudSink());
    auto full = record(fw::SE3());
    auto none = record(fw::SE3());
    none->consistency.setTo(1);
    none->frame = std::make_shared<fw::MapFrame>(8, 8.0);
    auto broken = record(fw::SE3());
    broken->depth.release();
    broken->frame = std::make_shared<fw::MapFrame>(9, 9.0);
    auto rejected = record(fw::SE3());  // conflicting depths still go to terrain fusion
    rejected->consistency.setTo(0);
    testsupport::CapturedLog log;
    for (const auto& r : {full, none, broken, rejected}) pruner.process(r);
    EXPECT_EQ(log.texts(fw::kWarning),
              (std::vector<std::string>{"Frame 8 left out of the maps: none of its depths is confirmed by another view",
                                        "Frame 9 left out of the maps: its depth map cannot be used"}));
    sinks.calls.resize(6);
    EXPECT_EQ(sinks.calls, (std::vector<std::string>{"terrain", "cloud", "terrain", "cloud", "terrain", "cloud"}));
    ASSERT_EQ(sinks.cloud.size(), 4u);
    EXPECT_EQ(sinks.terrain[3].world.size(), 16u);
    EXPECT_EQ(sinks.cloud[0].points.size(), 16u);
    EXPECT_TRUE(sinks.cloud[1].points.empty());
    EXPECT_TRUE(sinks.terrain[1].world.empty());
    EXPECT_TRUE(sinks.cloud[2].points.empty());
}

TEST_F(PrunerSets, WithoutATerrainSinkOnlyThePointCloudIsMade) {
    Sinks sinks;
    Pruner pruner(Pruner::Sink(), sinks.cloudSink());
    pruner.process(record(fw::SE3()));
    EXPECT_EQ(sinks.calls, std::vector<std::string>{"cloud"});
    EXPECT_EQ(sinks.cloud[0].points.size(), 16u);
}

}  // namespace
