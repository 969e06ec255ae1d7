// The dense depth stage: pairing, publication, the engine choice at
// construction, back-pressure, the matcher mutex and frame cloning.

#include "stereo_scene.h"
#include "stereo_dense/dense_depth.h"
#include "stereo_dense/sgm_cpu.h"

#include "fw/messenger.h"
#include "fw/settings.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

namespace {

using stereo_test::PlaneScene;
using testsupport::CapturedLog;
using Future = std::shared_future<std::shared_ptr<ImageScaled>>;

// The futures published on "sbt.dense_frame", in order.
class Published {
public:
    Published() {
        subscriber_ = fw::Messenger::instance().subscribe("sbt.dense_frame", 0, dv::VarFunction([this](const dv::Var& m) {
            std::lock_guard<std::mutex> lock(mutex_);
            futures_.push_back(m.typedRef<Future>());
        }));
    }
    ~Published() { subscriber_.shutdown(); }
    std::vector<Future> futures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return futures_;
    }

private:
    std::mutex mutex_;
    std::vector<Future> futures_;
    fw::Subscriber subscriber_;
};

// A constant disparity of 16 everywhere (the small scene's true disparity
// for 20 m at 100 m); counts the calls that overlap.
class ConstantEngine : public DisparityCalculator {
public:
    dv::Var compute(const cv::Mat& left, const cv::Mat&, int, int) override {
        const int inside = ++inside_;
        int seen = maxInside.load();
        while (inside > seen && !maxInside.compare_exchange_weak(seen, inside)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // room for another caller to overlap
        cv::Mat map(left.size(), CV_32FC1, cv::Scalar(16.0f));
        --inside_;
        ++calls;
        return dv::Var(std::vector<dv::Var>{dv::Var(map), dv::Var(rightViewDisparity(map))});
    }
    std::atomic<int> calls{0};
    std::atomic<int> maxInside{0};

private:
    std::atomic<int> inside_{0};
};

// A small scene: 96 x 72 images, 20 m steps give 16 px of disparity.
struct SmallScene : PlaneScene {
    SmallScene() : PlaneScene(10.0, 1200) {
        width = 96;
        height = 72;
        focal = 80.0;
    }
};

class DenseDepthTest : public ::testing::Test {
protected:
    void SetUp() override {
        set("pointsfusion.dense_thread_num", "4");
        set("pointsfusion.dense_method", "3");
        set("pointsfusion.clone_frame", "0");
    }
    void TearDown() override { SetUp(); }
    static void set(const std::string& key, const std::string& value) {
        fw::Settings::instance().setvar(key, value, true);
    }
    std::shared_ptr<MapFrame> frame(uint64_t id) { return scene.frame(id, 20.0 * double(id), 0, dir.path(), 0.0, 12, 9); }

    SmallScene scene;
    testsupport::TempDir dir;
};

TEST_F(DenseDepthTest, PairsEachFrameWithTheNextAndPublishesAtOnce) {
    Published published;
    auto engine = std::make_shared<ConstantEngine>();
    std::vector<std::shared_ptr<MapFrame>> frames;
    {
        DenseDepth stage(4.0f, engine);
        stage.AddFrame(nullptr);
        frames.push_back(frame(1));
        stage.AddFrame(frames.back());
        EXPECT_TRUE(published.futures().empty()) << "the first frame waits for a partner";
        for (uint64_t id = 2; id <= 5; ++id) {
            frames.push_back(frame(id));
            stage.AddFrame(frames.back());
            EXPECT_EQ(published.futures().size(), id - 1) << "published on the adding thread";
        }
    }
    const std::vector<Future> futures = published.futures();
    ASSERT_EQ(futures.size(), 4u);
    for (size_t i = 0; i < futures.size(); ++i) {
        const std::shared_ptr<ImageScaled> record = futures[i].get();
        ASSERT_TRUE(record) << i;
        EXPECT_EQ(record->frame->id, i + 1) << "the older frame of each pair";
        EXPECT_FALSE(record->depth.empty());
    }
    EXPECT_EQ(engine->calls.load(), 4);
    EXPECT_EQ(engine->maxInside.load(), 1) << "one disparity computation at a time";
}

// At the end, the frame that waits for a partner is named: the last of a
// run, only ever a partner, or a lone first frame.
TEST_F(DenseDepthTest, TheFrameLeftWaitingIsNamedAtTheEnd) {
    struct Case {
        uint64_t frames;
        const char* expected;
    };
    const Case cases[] = {
        {0, nullptr},
        {1, "Frame 1 left out of the maps: no other frame to pair it with"},
        {3, "Frame 3 left out of the maps: the last frame is only the stereo partner of the frame before it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames");
        CapturedLog log;
        {
            DenseDepth stage(4.0f, std::make_shared<ConstantEngine>());
            for (uint64_t id = 1; id <= c.frames; ++id) stage.AddFrame(frame(id));
            EXPECT_EQ(log.count("left out of the maps"), 0u) << "only when the stage ends";
        }
        const std::vector<std::string> warnings = log.texts(fw::kWarning);
        if (!c.expected) {
            EXPECT_TRUE(warnings.empty());
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0], c.expected);
    }
}

TEST_F(DenseDepthTest, FailedPairsDeliverAnEmptyRecord) {
    Published published;
    CapturedLog log;
    {
        DenseDepth stage(4.0f, std::make_shared<ConstantEngine>());
        stage.AddFrame(frame(1));
        stage.AddFrame(frame(2));
        auto third = std::make_shared<MapFrame>(3, 3.0, fw::GImage(), dir.file("missing.png"),
                                                frame(30)->getCamera(0), std::vector<double>{}, 1);
        third->setPose(frame(3)->getPose());
        stage.AddFrame(third);
    }
    const std::vector<Future> futures = published.futures();
    ASSERT_EQ(futures.size(), 2u);
    EXPECT_TRUE(futures[0].get()) << "frame 1 with its own sparse points";
    EXPECT_FALSE(futures[1].get()) << "frame 2's partner has no image";
    EXPECT_EQ(log.count("ImageScaled: Wrong Path! "), 1u);
    EXPECT_EQ(log.count("Frame (1):: Node:PF,  device:3, time:", fw::kInfo), 1u);
    EXPECT_EQ(log.count("Frame (2):: Node:PF,  device:3, time:", fw::kInfo), 1u);
}

// No device at all.
class NoDevices : public GpuDevices {
public:
    bool deviceCount(int& count) override {
        ++calls;
        count = 0;
        return true;
    }
    bool computeCapability(int, int&, int&) override { return ++calls, false; }
    bool driverVersion(int&) override { return ++calls, false; }
    bool runtimeVersion(int&) override { return ++calls, false; }
    bool selectDevice(int) override { return ++calls, false; }
    bool freeMemoryMB(size_t&) override { return ++calls, false; }
    std::atomic<int> calls{0};
};

TEST_F(DenseDepthTest, WithoutADeviceTheCpuRunsAndTheLinesSayTwo) {
    Published published;
    CapturedLog log;
    auto devices = std::make_shared<NoDevices>();
    {
        DenseDepth stage(4.0f, devices, {75, 90}, [](const cv::Mat& l, const cv::Mat&, int, int, int) { return l; });
        EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(stage.engine()));
        stage.AddFrame(frame(1));
        stage.AddFrame(frame(2));
    }
    EXPECT_GT(devices->calls.load(), 0);
    EXPECT_EQ(log.count("No compatible cuda device found. Use CPU method. ", fw::kInfo), 1u);
    EXPECT_EQ(log.count("Frame (1):: Node:PF,  device:2, time:", fw::kInfo), 1u);
    ASSERT_EQ(published.futures().size(), 1u);
    published.futures()[0].wait();
}

TEST_F(DenseDepthTest, CpuMethodsNeverQueryTheDevices) {
    for (const char* method : {"0", "1", "2"}) {
        set("pointsfusion.dense_method", method);
        auto devices = std::make_shared<NoDevices>();
        DenseDepth stage(4.0f, devices, {75}, GpuMatcher());
        EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(stage.engine()));
        EXPECT_EQ(devices->calls.load(), 0) << method;
    }
}

TEST_F(DenseDepthTest, ZeroWorkersMeansOne) {
    set("pointsfusion.dense_thread_num", "0");
    Published published;
    DenseDepth stage(4.0f, std::make_shared<ConstantEngine>());
    stage.AddFrame(frame(1));
    stage.AddFrame(frame(2));
    ASSERT_EQ(published.futures().size(), 1u);
    EXPECT_TRUE(published.futures()[0].get()) << "a worker runs the pair";
}

// Holds every matching call until released, one at a time.
class GateEngine : public ConstantEngine {
public:
    dv::Var compute(const cv::Mat& left, const cv::Mat& right, int a, int b) override {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return released >= entered; });
        lock.unlock();
        return ConstantEngine::compute(left, right, a, b);
    }
    void release(std::vector<std::string>& events) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("release");
        ++released;
        changed.notify_all();
    }
    void waitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return entered >= n; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0, released = 0;
};

// Notes when the stage reads its image path (after the back-pressure wait).
class WatchedFrame : public MapFrame {
public:
    WatchedFrame(const std::shared_ptr<MapFrame>& from, GateEngine& gate, std::vector<std::string>& e)
        : MapFrame(from->id, from->timestamp, fw::GImage(), path(from), from->getCamera(0), {}, 1), gate_(gate),
          events_(e) {
        setPose(from->getPose());
    }
    void call(const std::string& command, void* arg) override {
        if (command == "GetImagePath") {
            std::lock_guard<std::mutex> lock(gate_.mutex);
            events_.push_back("load " + std::to_string(id));
            gate_.changed.notify_all();
        }
        MapFrame::call(command, arg);
    }

private:
    static std::string path(const std::shared_ptr<MapFrame>& f) {
        std::string p;
        f->call("GetImagePath", &p);
        return p;
    }
    GateEngine& gate_;
    std::vector<std::string>& events_;
};

TEST_F(DenseDepthTest, TheFeederWaitsWhileMoreThanEightTasksWait) {
    set("pointsfusion.dense_thread_num", "1");
    auto engine = std::make_shared<GateEngine>();
    std::vector<std::string> events;
    Published published;
    {
        DenseDepth stage(4.0f, engine);
        stage.AddFrame(frame(1));
        stage.AddFrame(frame(2));
        engine->waitEntered(1);  // the worker holds the first pair
        for (uint64_t id = 3; id <= 11; ++id) stage.AddFrame(frame(id));  // 9 pairs wait
        auto late = std::make_shared<WatchedFrame>(frame(12), *engine, events);
        std::thread feeder([&] { stage.AddFrame(late); });
        {
            // The feeder must not get to the frame's image while 9 pairs wait.
            std::unique_lock<std::mutex> lock(engine->mutex);
            engine->changed.wait_for(lock, std::chrono::milliseconds(400), [&] { return !events.empty(); });
        }
        engine->release(events);  // the first pair ends, a waiting one is taken: 8 wait
        feeder.join();
        for (int i = 0; i < 10; ++i) engine->release(events);
    }
    ASSERT_EQ(events.size(), 12u);
    EXPECT_EQ(events[0], "release") << "frame 12 was loaded before a pair left the queue";
    EXPECT_EQ(events[1], "load 12");
    EXPECT_EQ(published.futures().size(), 11u);
}

// A frame of another class than the back end's own.
class OtherFrame : public fw::MapFrame {
public:
    OtherFrame(uint64_t id, std::string path) : fw::MapFrame(id, 0.0), path_(std::move(path)) {}
    void call(const std::string& command, void* arg) override {
        if (command == "GetImagePath") *static_cast<std::string*>(arg) = path_;
    }

private:
    std::string path_;
};

TEST_F(DenseDepthTest, CloningCopiesTheBackEndsFramesOnly) {
    set("pointsfusion.clone_frame", "1");
    Published published;
    CapturedLog log;
    auto first = frame(1);
    first->setImage(fw::GImage(cv::Mat(4, 4, CV_8UC3, cv::Scalar(1, 2, 3))), 0, 0);
    {
        DenseDepth stage(4.0f, std::make_shared<ConstantEngine>());
        stage.AddFrame(first);
        EXPECT_TRUE(first->getImage(0, 0).empty()) << "the incoming frame's pixels are released";
        stage.AddFrame(frame(2));
        stage.AddFrame(std::make_shared<OtherFrame>(3, dir.file("2.png")));
    }
    EXPECT_EQ(log.count("Not correct mapframe.", fw::kInfo), 1u);
    const std::vector<Future> futures = published.futures();
    ASSERT_EQ(futures.size(), 2u);
    const auto record = futures[0].get();
    ASSERT_TRUE(record) << "the copy keeps the sparse points";
    EXPECT_NE(record->frame.get(), first.get());
    EXPECT_EQ(record->frame->id, 1u);
    EXPECT_EQ(record->frame->getPose().translation.x, first->getPose().translation.x);
    futures[1].wait();  // frame 3 is used as it came
}

}  // namespace
