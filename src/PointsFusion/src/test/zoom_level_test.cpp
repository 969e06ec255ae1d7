// The zoom level of a whole map from the median flying height of its frames.

#include "pointsfusion/points_fusion.h"

#include "fw/map.h"
#include "fw/map_projection.h"
#include "fw/settings.h"
#include "testsupport/captured_log.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using testsupport::CapturedLog;

constexpr double kFocal = 500.0;

// A frame at longitude 0, latitude 0 looking straight down (earth-centred
// world: up is +x), whose key points see the ground `height` below and a few
// roof points 30 m above it.
class FakeFrame : public fw::MapFrame {
public:
    FakeFrame(uint64_t id, double height, bool gps = true, int keyPoints = 20,
              std::vector<double> camera = {640, 480, kFocal, kFocal, 320, 240})
        : fw::MapFrame(id, double(id)), height_(height), gps_(gps), keyPoints_(keyPoints),
          camera_(fw::CameraImpl::create(camera)) {
        const double down[9] = {0, 0, -1, 1, 0, 0, 0, -1, 0};  // camera x east, y south, z down
        fw::SO3 q;
        q.fromMatrix(down);
        setPose(fw::SE3(q, pt::Point3d(6378137.0 + height, 0, 0)));
    }
    std::shared_ptr<fw::CameraImpl> getCamera(int) override { return camera_; }
    bool getGPSLLA(pt::Point3d& lla) override {
        if (!gps_) return false;
        lla = pt::Point3d(0.0, 0.0, height_);
        return true;
    }
    size_t keyPointCount() override {
        ++sampled;
        return size_t(keyPoints_);
    }
    bool getKeyPointPosition(int k, pt::Point2f& out) override {
        out = pt::Point2f(float(30 * (k % 20)), float(20 * (k / 20)));
        return true;
    }
    bool getKeyPointInverseDepth(int k, pt::Point2d& out) override {
        if (noDepths) return false;
        const double depth = k % 7 == 3 ? height_ - 30.0 : height_;  // three of twenty on a roof
        out = pt::Point2d(1.0 / depth, -1.0);
        return true;
    }
    static std::atomic<int> sampled;
    bool noDepths = false;

private:
    double height_;
    bool gps_;
    int keyPoints_;
    std::shared_ptr<fw::CameraImpl> camera_;
};
std::atomic<int> FakeFrame::sampled{0};

int mercatorZoom(double gsd, double latitude) { return fw::MercatorProjection().zoomForResolution(gsd, latitude); }

class ZoomLevel : public ::testing::Test {
protected:
    void SetUp() override { FakeFrame::sampled = 0; }
    PointsFusion pf{"{}", nullptr};
};

TEST_F(ZoomLevel, MedianHeightOfTheFramesWithTheirGround) {
    CapturedLog log;
    auto map = std::make_shared<fw::Map>();
    for (double h : {60.0, 30.0, 50.0, 40.0}) map->addFrame(std::make_shared<FakeFrame>(map->frameCount(), h));
    ASSERT_TRUE(pf.calcZoomLevel(map));
    EXPECT_TRUE(pf.fetchGps());
    EXPECT_EQ(pf.zoomLevel(), mercatorZoom(50.0 / kFocal, 0.0));
    EXPECT_EQ(log.count("nMiddleHeight:50, f:500,gsd:0.1,frame size:4, fetchGPS:1", fw::kInfo), 1u)
        << "the roof points are no cluster of their own";
    EXPECT_EQ(log.count("Calculating zoom level using whole map: " + std::to_string(pf.zoomLevel()), fw::kInfo), 1u);
}

TEST_F(ZoomLevel, WithoutHeightsTheConfiguredFallback) {
    struct Case {
        const char* name;
        bool gps;
        bool depths;
    };
    for (const Case c : {Case{"no GPS", false, true}, Case{"no inverse depths", true, false}}) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        auto map = std::make_shared<fw::Map>();
        auto frame = std::make_shared<FakeFrame>(1, 80.0, c.gps);
        frame->noDepths = !c.depths;
        map->addFrame(frame);
        ASSERT_TRUE(pf.calcZoomLevel(map));
        EXPECT_FALSE(pf.fetchGps());
        EXPECT_EQ(pf.zoomLevel(), mercatorZoom(200.0 / kFocal, 0.0));
        EXPECT_EQ(log.count("nMiddleHeight:200, f:500,gsd:0.4,frame size:1, fetchGPS:0", fw::kInfo), 1u);
    }
}

TEST_F(ZoomLevel, SamplingStepByFrameCount) {
    struct Case {
        int frames, sampled;
    };
    for (const Case c : {Case{100, 100}, Case{101, 51}, Case{500, 250}, Case{1200, 300}, Case{5000, 500}}) {
        SCOPED_TRACE(c.frames);
        auto map = std::make_shared<fw::Map>();
        for (int i = 0; i < c.frames; ++i) map->addFrame(std::make_shared<FakeFrame>(uint64_t(i), 50.0, true, 0));
        FakeFrame::sampled = 0;
        ASSERT_TRUE(pf.calcZoomLevel(map));
        EXPECT_EQ(FakeFrame::sampled.load(), c.sampled);
    }
}

TEST_F(ZoomLevel, NoFramesOrNoFocalLength) {
    EXPECT_FALSE(pf.calcZoomLevel(nullptr));
    EXPECT_FALSE(pf.calcZoomLevel(std::make_shared<fw::Map>()));

    CapturedLog log;
    auto ideal = std::make_shared<fw::Map>();
    ideal->addFrame(std::make_shared<FakeFrame>(1, 50.0, true, 20, std::vector<double>{640, 480}));
    ideal->addFrame(std::make_shared<FakeFrame>(2, 50.0, true, 20, std::vector<double>{640, 480}));
    EXPECT_FALSE(pf.calcZoomLevel(ideal));
    EXPECT_EQ(log.count("has no focal length", fw::kWarning), 2u);
    EXPECT_EQ(log.count("No frame of the map has a focal length", fw::kError), 1u);

    // One frame without a focal length among others: only its sample goes.
    auto mixed = std::make_shared<fw::Map>();
    mixed->addFrame(std::make_shared<FakeFrame>(1, 90.0, true, 20, std::vector<double>{640, 480}));
    mixed->addFrame(std::make_shared<FakeFrame>(2, 40.0));
    ASSERT_TRUE(pf.calcZoomLevel(mixed));
    EXPECT_EQ(pf.zoomLevel(), mercatorZoom(40.0 / kFocal, 0.0));
}

// Records the frames that feedMap hands on instead of building a chain.
class RecordingFusion : public PointsFusion {
public:
    using PointsFusion::PointsFusion;
    bool feedFrame(const std::shared_ptr<fw::MapFrame>& frame) override {
        fed.push_back(frame->id);
        return true;
    }
    std::vector<uint64_t> fed;
};

// feedMap writes the zoom into the terrain configuration only when there is
// one and the zoom could be calculated; the frames go on in id order anyway.
TEST(ZoomLevelFeed, ZoomIntoTheTerrainConfigurationThenTheFramesInIdOrder) {
    struct Case {
        const char* name;
        const char* config;
        bool focal;
        bool stopped;
        bool calculated, written;
    };
    const Case cases[] = {
        {"terrain object", R"({"legacy_tf":{}})", true, false, true, true},
        {"terrain not an object", R"({"legacy_tf":3})", true, false, false, false},
        {"no terrain", "{}", true, false, false, false},
        {"zoom fails", R"({"legacy_tf":{}})", false, false, true, false},
        {"stopped", R"({"legacy_tf":{}})", true, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> camera =
            c.focal ? std::vector<double>{640, 480, kFocal, kFocal, 320, 240} : std::vector<double>{640, 480};
        auto map = std::make_shared<fw::Map>();
        for (uint64_t id : {3, 1, 2}) map->addFrame(std::make_shared<FakeFrame>(id, 50.0, true, 20, camera));
        CapturedLog log;
        RecordingFusion pf(c.config, nullptr);
        if (c.stopped) fw::Messenger::instance().publish("sbt.input.stop", true);
        EXPECT_TRUE(pf.feedMap(map));
        EXPECT_EQ(log.count("Calculate zoom level for map", fw::kInfo), c.calculated ? 1u : 0u);
        EXPECT_EQ(log.count("[POINTSFUSION] set pre computed gps and zoom level", fw::kInfo), c.written ? 1u : 0u);
        const nlohmann::json& tf = pf.config().contains("legacy_tf") ? pf.config()["legacy_tf"] : nlohmann::json();
        if (c.written) {
            EXPECT_EQ(tf["zoom_level"], mercatorZoom(50.0 / kFocal, 0.0));
            EXPECT_EQ(tf["fetch_gps"], true);
        } else {
            EXPECT_FALSE(tf.is_object() && tf.contains("zoom_level"));
        }
        EXPECT_EQ(pf.fed, c.stopped ? std::vector<uint64_t>{} : (std::vector<uint64_t>{1, 2, 3}));
        EXPECT_EQ(pf.frameCount(), c.stopped ? -1 : 3);
    }
}

}  // namespace
