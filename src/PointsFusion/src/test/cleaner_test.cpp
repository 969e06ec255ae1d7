// The consistency check of the cleaner and its window: order, stop and the
// final flush.

#include "stereo_dense/cleaner.h"

#include "fw/log.h"
#include "fw/messenger.h"
#include "fw/settings.h"
#include "testsupport/captured_log.h"
#include "cleaned_frames.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <mutex>
#include <vector>

namespace {

using testsupport::CapturedLog;

constexpr int kSize = 20;
constexpr double kFocal = 20.0;
constexpr double kCentre = 9.5;

// A downward view of a fronto-parallel plane: world-to-camera is a shift by
// -(ox, oy, oz); depth maps of kSize x kSize unless given.
Cleaner::View view(double ox, double oy, double oz, float depth, uint8_t count = 1, int size = kSize) {
    Cleaner::View v;
    v.depth = cv::Mat(size, size, CV_32FC1, cv::Scalar(depth));
    v.count = cv::Mat(size, size, CV_8UC1, cv::Scalar(count));
    const double K[9] = {kFocal, 0, kCentre, 0, kFocal, kCentre, 0, 0, 1};
    std::copy(K, K + 9, v.K);
    const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::copy(R, R + 9, v.R);
    v.t[0] = -ox;
    v.t[1] = -oy;
    v.t[2] = -oz;
    v.minDepth = 1.0f;
    v.maxDepth = 100.0f;
    return v;
}

void setKey(const std::string& key, const std::string& value) { fw::Settings::instance().setvar(key, value, true); }

// Pixel (10, 10) of the reference at depth 10 lands on pixel (8, 10) of a view shifted 1 m east.
TEST(CleanerCheck, CountsOfTheReferencePixel) {
    struct Case {
        const char* name;
        std::vector<Cleaner::View> others;
        int minViews;
        int expected;
    };
    Cleaner::View far = view(100, 0, 0, 10.0f);     // the point lies outside its image
    Cleaner::View shallow = view(1, 0, 0, 10.0f);
    shallow.maxDepth = 5.0f;                         // the point lies beyond its range
    Cleaner::View behind = view(0, 0, 0, 10.0f);
    const double flip[9] = {1, 0, 0, 0, -1, 0, 0, 0, -1};  // looks up: the point is behind it
    std::copy(flip, flip + 9, behind.R);
    const Case cases[] = {
        {"one agreeing view", {view(1, 0, 0, 10.0f)}, 2, 2},
        {"agreement within the threshold", {view(1, 0, 0, 10.09f)}, 2, 2},
        {"disagreeing depth", {view(1, 0, 0, 10.2f)}, 2, 1},
        {"match already rejected", {view(1, 0, 0, 10.0f, 0)}, 2, 0},
        {"match already confirmed", {view(1, 0, 0, 10.0f, 2)}, 2, 0},
        {"two agreeing views", {view(1, 0, 0, 10.0f), view(-1, 0, 0, 10.0f)}, 2, 3},
        {"agreeing and invisible: raised to m", {view(1, 0, 0, 10.0f), far}, 3, 3},
        {"beyond the maximum depth is invisible", {view(1, 0, 0, 10.0f), shallow}, 3, 3},
        {"behind the camera is invisible", {view(1, 0, 0, 10.0f), behind}, 3, 3},
        {"too few views: unchanged", {view(1, 0, 0, 10.0f)}, 3, 1},
        {"only invisible views", {far}, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Cleaner::View> views{view(0, 0, 0, 10.0f)};
        views.insert(views.end(), c.others.begin(), c.others.end());
        Cleaner::checkConsistency(views, 0.01f, c.minViews);
        EXPECT_EQ(int(views[0].count.at<uint8_t>(10, 10)), c.expected);
    }
}

TEST(CleanerCheck, SkippedPixelsAndTheOneMessageOfTooFewViews) {
    CapturedLog log;
    std::vector<Cleaner::View> views{view(0, 0, 0, 10.0f), view(1, 0, 0, 10.0f)};
    views[0].depth.at<float>(3, 10) = 0.0f;
    views[0].count.at<uint8_t>(4, 10) = 0;
    Cleaner::checkConsistency(views, 0.01f, 2);
    EXPECT_EQ(views[0].count.at<uint8_t>(3, 10), 1) << "no depth: untouched";
    EXPECT_EQ(views[0].count.at<uint8_t>(4, 10), 0) << "already rejected: untouched";
    EXPECT_EQ(views[0].count.at<uint8_t>(10, 0), 1) << "lands left of view 1's border";
    EXPECT_TRUE(cv::countNonZero(views[1].count != 1) == 0) << "only the reference's counts change";

    std::vector<Cleaner::View> alone{view(0, 0, 0, 10.0f)};
    Cleaner::checkConsistency(alone, 0.01f, 2);
    EXPECT_EQ(log.count("Cleaned Point Number: 0 (image number = 1 too few imgs)", fw::kError), 1u);
}

// A smaller view is bounded by its own size, not by the reference's.
TEST(CleanerCheck, ViewsOfAnotherSizeAreReadWithinTheirOwnBounds) {
    std::vector<Cleaner::View> views{view(0, 0, 0, 10.0f), view(0, 0, 0, 10.0f, 1, 8)};
    Cleaner::checkConsistency(views, 0.01f, 2);
    EXPECT_EQ(views[0].count.at<uint8_t>(3, 3), 2) << "inside the small view";
    EXPECT_EQ(views[0].count.at<uint8_t>(15, 15), 1) << "outside it";
    EXPECT_EQ(views[0].count.at<uint8_t>(3, 15), 1);
}

// Earth-centred coordinates: 6.4e6 m from the origin the check still agrees
// on a 10 m depth to well within 1 %.
TEST(CleanerCheck, EarthCentredPositionsKeepTheirPrecision) {
    const double o = 6.4e6;
    std::vector<Cleaner::View> views{view(o, o / 3, o / 7, 10.0f), view(o + 1, o / 3, o / 7, 10.0f)};
    Cleaner::checkConsistency(views, 0.01f, 2);
    EXPECT_EQ(cv::countNonZero(views[0].count.colRange(3, 17).rowRange(1, 19) == 2), 14 * 18);
}

// Records for the window: a fronto-parallel plane at depth 10 seen by
// cameras 1 m apart per id.
std::shared_ptr<ImageScaled> record(uint64_t id) {
    auto r = std::make_shared<ImageScaled>();
    r->frame = std::make_shared<fw::MapFrame>(id, double(id));
    r->pose = fw::SE3(fw::SO3(), pt::Point3d(double(id), 0, 0));
    const double K[9] = {kFocal, 0, kCentre, 0, kFocal, kCentre, 0, 0, 1};
    std::copy(K, K + 9, r->K);
    r->depth = cv::Mat(kSize, kSize, CV_32FC1, cv::Scalar(10.0f));
    r->consistency = cv::Mat(kSize, kSize, CV_8UC1, cv::Scalar(1));
    r->minDepth = 1.0f;
    r->maxDepth = 100.0f;
    return r;
}

using pftest::CleanedFrames;

class CleanerWindow : public ::testing::Test {
protected:
    void SetUp() override { setKey("pointsfusion.clean_queuesize", "2"); }
    void TearDown() override { setKey("pointsfusion.clean_queuesize", "2"); }
    void feed(uint64_t id) { fw::Messenger::instance().publish("sbt.dense_frame_test", record(id)); }
};

TEST_F(CleanerWindow, TheOlderFrameIsCheckedAgainstTheNewerOne) {
    CleanedFrames cleaned;
    {
        Cleaner cleaner;
        feed(5);
        EXPECT_TRUE(cleaned.ids().empty());
        feed(3);
        ASSERT_EQ(cleaned.ids(), std::vector<uint64_t>{3});
        const auto records = cleaned.records();
        EXPECT_EQ(records[0]->consistency.at<uint8_t>(10, 10), 2) << "confirmed by frame 5";
        EXPECT_EQ(records[0]->consistency.at<uint8_t>(10, 3), 1) << "outside frame 5";
    }
    EXPECT_EQ(cleaned.ids(), std::vector<uint64_t>{3}) << "frame 5 alone has no view to check against";
}

TEST_F(CleanerWindow, AfterAStopNothingIsPublishedByTheSteps) {
    CleanedFrames cleaned;
    Cleaner cleaner;
    feed(1);
    feed(2);
    fw::Messenger::instance().publish("sbt.input.stop", true);
    EXPECT_TRUE(cleaner.stopped());
    feed(3);
    feed(4);
    EXPECT_EQ(cleaned.ids(), std::vector<uint64_t>{1});
}

// The frames left at destruction that still have a view leave, oldest first.
TEST_F(CleanerWindow, FinalFlushPublishesEveryFrameWithAView) {
    struct Case {
        const char* windowSize;
        int frames;
        std::vector<uint64_t> expected;
    };
    const Case cases[] = {
        {"2", 3, {1, 2}},
        {"3", 3, {1, 2}},
        {"4", 3, {1, 2}},
        {"5", 5, {1, 2, 3, 4}},
        {"4", 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("window ") + c.windowSize + ", frames " + std::to_string(c.frames));
        setKey("pointsfusion.clean_queuesize", c.windowSize);
        CleanedFrames cleaned;
        CapturedLog log;
        {
            Cleaner cleaner;
            for (int id = 1; id <= c.frames; ++id) feed(uint64_t(id));
        }
        EXPECT_EQ(cleaned.ids(), c.expected);
        // The frame that is left, the newest, is named once; no other is.
        const std::vector<std::string> warnings = log.texts(fw::kWarning);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0], "Frame " + std::to_string(c.frames) +
                                   " left out of the maps: the cleaner holds no other depth frame to check it against");
    }
}

// With three views needed, the flush checks frame 2 against 3 and 4; frames
// 3 and 4 are two views alone and are named.
TEST_F(CleanerWindow, FramesHeldAfterAStopAreNamedAtTheEnd) {
    setKey("pointsfusion.min_consistent_views", "3");
    CleanedFrames cleaned;
    CapturedLog log;
    {
        Cleaner cleaner;
        feed(1);
        feed(2);
        fw::Messenger::instance().publish("sbt.input.stop", true);
        feed(3);
        feed(4);
    }
    setKey("pointsfusion.min_consistent_views", "2");
    EXPECT_EQ(cleaned.ids(), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(log.count("Frame 3 left out of the maps: ", fw::kWarning), 1u);
    EXPECT_EQ(log.count("Frame 4 left out of the maps: ", fw::kWarning), 1u);
    EXPECT_EQ(log.count(" left out of the maps: ", fw::kWarning), 2u);
}

TEST_F(CleanerWindow, AFrameWithoutDepthIsLeftOutAsAView) {
    CapturedLog log;
    CleanedFrames cleaned;
    Cleaner cleaner;
    auto empty = record(2);
    empty->depth.release();
    fw::Messenger::instance().publish("sbt.dense_frame_test", empty);
    feed(1);
    ASSERT_EQ(cleaned.ids(), std::vector<uint64_t>{1});
    EXPECT_EQ(log.count("Should not happen with image index = 2", fw::kError), 1u);
    EXPECT_EQ(cleaned.records()[0]->consistency.at<uint8_t>(10, 10), 1) << "no view confirmed it";
}

}  // namespace
