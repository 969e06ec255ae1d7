// The mapping job with test components: construction failures, the chain
// build, the run thread and its states, events, status updates.
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait_until.h"
#include "tarn/tarn_mapper_impl.h"

#include "dataset/image_dataset.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_fusion.h"
#include "sfm/slam.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("job-test") {}
};


using testsupport::CapturedLog;

// What the test components saw, in order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> calls;
    void add(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

struct FrontEndScript {
    bool throwOnTrack = false;      // a front end that fails part way
    bool stopAtFrameCount = false;  // asks the job to stop before the first frame
    bool locateEachFrame = false;   // "frame_located" per tracked frame
    bool locateMap = false;         // "map_located" at finish
};

class TestFrontEnd : public fw::SLAM {
public:
    TestFrontEnd(Journal& journal, zel::Chain* owner, FrontEndScript script, std::string config)
        : journal_(journal), owner_(owner), script_(script) {
        journal_.add("front config " + config);
    }
    ~TestFrontEnd() override { journal_.add("front released"); }
    void setFrameCount(int32_t count) override {
        journal_.add("front count " + std::to_string(count));
        if (script_.stopAtFrameCount) owner_->stop();
    }
    bool trackFrame(const std::shared_ptr<fw::MapFrame>& frame) override {
        const cv::Mat pixels = frame->getImage(0, 0);
        journal_.add("track " + std::to_string(frame->id) + (pixels.empty() ? " without pixels" : " with pixels"));
        if (script_.throwOnTrack && frame->id == 2) throw std::runtime_error("lost track");
        frames_.push_back(frame);
        if (script_.locateEachFrame) owner_->handle("frame_located", frame);
        return true;
    }
    void finish() override {
        journal_.add("finish");
        if (script_.locateMap) {
            auto map = std::make_shared<fw::Map>();
            for (const auto& f : frames_) map->addFrame(f);
            owner_->handle("map_located", map);
        }
    }
    std::vector<std::shared_ptr<fw::MapFrame>> frames_;

private:
    Journal& journal_;
    zel::Chain* owner_;
    FrontEndScript script_;
};

// A folder in dir holding one tile file, as a tile set's location must.
std::string tileFolder(const TempDir& dir) {
    const std::string folder = dir.file("dom");
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/tile.png") << "tile";
    return folder;
}

// Publishes a tile set on construction and marks it on every frame.
class TestBackEnd : public fw::MapFusion {
public:
    TestBackEnd(Journal& journal, zel::Chain* owner, bool throwing, const std::string& location)
        : journal_(journal), node_("Tiles", owner), throwing_(throwing) {
        auto dom = std::make_shared<TfTileset>("dom");
        dom->name = "dom_01";
        dom->location = location;
        dom->state = zel::ItemState::Updating;
        dom->time = zel::wallClockSeconds();
        node_.setOutput(dom);
    }
    ~TestBackEnd() override { journal_.add("back released"); }
    bool feedFrame(const std::shared_ptr<fw::MapFrame>& frame) override {
        journal_.add("feed frame " + std::to_string(frame->id));
        if (throwing_) throw std::runtime_error("frame refused");
        return true;
    }
    bool feedMap(const std::shared_ptr<fw::Map>& map) override {
        std::vector<std::shared_ptr<fw::MapFrame>> frames;
        map->getFrames(frames);
        journal_.add("feed map " + std::to_string(frames.size()));
        if (throwing_) throw std::runtime_error("map refused");
        return true;
    }
    void setFrameCount(int32_t count) override {
        journal_.add("back count " + std::to_string(count));
        fw::MapFusion::setFrameCount(count);
    }
    // A back end that could not build its chain says so when asked.
    void call(const std::string& command, void* arg) override {
        if (command == "PointsFusion_Failed" && failing) *static_cast<bool*>(arg) = true;
    }
    bool failing = false;

private:
    Journal& journal_;
    zel::Node node_;
    bool throwing_;
};

struct Fixture {
    TempDir dir;
    Journal journal;
    FrontEndScript script;
    bool backEndThrows = false;
    bool backEndFails = false;
    int frontEndsMade = 0, backEndsMade = 0;
    int datasets = 0;

    MapperComponents components() {
        MapperComponents c;
        c.legacySfm = [this](const std::string& config, zel::Chain* owner, void* messenger, void* sinks) {
            EXPECT_NE(messenger, nullptr);
            EXPECT_EQ(sinks, &fw::getLogSinks());
            ++frontEndsMade;
            return std::make_shared<TestFrontEnd>(journal, owner, script, config);
        };
        c.legacyPf = [this](const std::string&, zel::Chain* owner, void*, void*) {
            ++backEndsMade;
            auto backEnd = std::make_shared<TestBackEnd>(journal, owner, backEndThrows, tileFolder(dir));
            backEnd->failing = backEndFails;
            return backEnd;
        };
        return c;
    }

    // A dataset file of n frames with small images.
    std::string dataset(int n) {
        json records = json::array();
        for (int i = 0; i < n; ++i) {
            const std::string image = dir.file(std::to_string(i) + ".png");
            cv::imwrite(image, cv::Mat(24, 32, CV_8UC3, cv::Scalar(i, 2 * i, 3 * i)));
            records.push_back({{"uri", image},
                               {"calibration", {{"width", 32}, {"height", 24}, {"fx", 30}, {"fy", 30}, {"cx", 16}, {"cy", 12}}}});
        }
        const std::string path = dir.file("frames" + std::to_string(datasets++) + ".json");
        std::ofstream(path) << records.dump();
        return path;
    }

    static json chain(const std::string& front = "legacy_sfm", const std::string& back = "legacy_pf") {
        return json::array({{{"name", front}, {"type", "front_end"}, {"config", {{"work_dir", "/w"}}}},
                            {{"name", back}, {"type", "back_end"}, {"config", json::object()}}});
    }

    json job(const json& datasetDescription, const json& chainItems = chain()) {
        return {{"home", dir.path()}, {"verbose", {{"level", "debug"}}}, {"dataset", datasetDescription}, {"chain", chainItems}};
    }
    json fileJob(int frames) { return job({{"form", "zel_frame"}, {"uri", dataset(frames)}}); }

    std::shared_ptr<TarnMapper> make(const json& jobConfig) { return createTarnMapper(jobConfig.dump(), components()); }
};

// Polls until the job reaches a final state.
MapperStatus runToEnd(TarnMapper& job, std::vector<int>* states = nullptr) {
    MapperStatus status;
    testsupport::waitUntil(
        [&] {
            if (job.update(status) && states && (states->empty() || states->back() != zel::code(status.state)))
                states->push_back(zel::code(status.state));
            return zel::isFinal(status.state);
        },
        std::chrono::seconds(60));
    return status;
}

}  // namespace

TEST(MapperConstruction, FailuresLogOneErrorAndLeaveMinus14) {
    Fixture f;
    const std::string plainFile = f.dir.file("plain");
    std::ofstream(plainFile) << "x";
    TempDir logIsFolder;
    fs::create_directory(logIsFolder.file("log.txt"));
    const std::string malformed = f.dir.file("malformed.json");
    std::ofstream(malformed) << "[{";
    const std::string notArray = f.dir.file("string.json");
    std::ofstream(notArray) << "\"frames\"";

    struct Case {
        std::string jobText;
        std::string error;  // the job's own error, after any of the dataset's
    };
    json noHome = f.fileJob(6);
    noHome.erase("home");
    json numberHome = f.fileJob(6);
    numberHome["home"] = 5;
    json missingHome = f.fileJob(6);
    missingHome["home"] = f.dir.file("nowhere");
    json fileHome = f.fileJob(6);
    fileHome["home"] = plainFile;
    json badLog = f.fileJob(6);
    badLog["home"] = logIsFolder.path();
    json noChain = f.fileJob(6);
    noChain["chain"] = json::object();
    // Tiling locations that would mix runs: the home, a run set aside.
    json denseAtHome = f.fileJob(6);
    denseAtHome["chain"][1]["config"]["tiling"] = {{"location", f.dir.path() + "/."}};
    json domAmongRuns = f.fileJob(6);
    domAmongRuns["chain"][1]["config"]["legacy_tf"]["dom"]["tiling"] = {{"location", f.dir.file("previous_runs/x")}};
    const std::vector<Case> cases = {
        {"{not json", "Failed to parse task or config: "},
        {noHome.dump(), "Invalid home folder of task."},
        {numberHome.dump(), "Invalid home folder of task."},
        {missingHome.dump(), "Invalid home folder of task: " + f.dir.file("nowhere")},
        {fileHome.dump(), "Invalid home folder of task: " + plainFile},
        {badLog.dump(), "Failed to open log file: " + logIsFolder.file("log.txt")},
        {f.job(json::array()).dump(), "Invalid dataset of task."},
        {f.job({{"uri", "x"}}).dump(), "Failed to create dataset."},
        {f.job({{"form", "zel_frame"}, {"uri", malformed}}).dump(), "Failed to create dataset."},
        {f.job({{"form", "zel_frame"}, {"uri", notArray}}).dump(), "Failed to create dataset."},
        {f.job({{"form", "json"}, {"uri", malformed}}).dump(), "Failed to create dataset."},
        {f.job({{"form", "zel_frame"}, {"uri", f.dir.file("missing.json")}}).dump(), "Insufficient frames for mapping: 0"},
        {f.fileJob(5).dump(), "Insufficient frames for mapping: 5"},
        {noChain.dump(), "Invalid chain of task."},
        {denseAtHome.dump(), "Invalid tiling location: " + f.dir.path() + "/."},
        {domAmongRuns.dump(), "Invalid tiling location: " + f.dir.file("previous_runs/x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.jobText);
        CapturedLog log;
        auto job = createTarnMapper(c.jobText, f.components());
        MapperStatus status;
        EXPECT_TRUE(job->update(status));
        EXPECT_EQ(zel::code(status.state), -14);
        EXPECT_EQ(status.progress.value, -1.0);
        job->start();
        EXPECT_FALSE(job->update(status));
        EXPECT_EQ(f.frontEndsMade + f.backEndsMade, 0);
        const auto errors = log.texts(fw::kError);
        ASSERT_FALSE(errors.empty());
        // Only the dataset's "Failed to open" may come before the job's one error.
        EXPECT_EQ(errors.size(), c.jobText.find("missing.json") != std::string::npos ? 2u : 1u);
        if (c.error.back() == ' ')
            EXPECT_EQ(errors.back().rfind(c.error, 0), 0u) << errors.back();
        else
            EXPECT_EQ(errors.back(), c.error);
    }
}

TEST(MapperConstruction, SixFramesAndLiveDatasetsPass) {
    Fixture f;
    for (const json& config : {f.fileJob(6), f.job({{"live", true}, {"form", "any"}})}) {
        auto job = f.make(config);
        MapperStatus status;
        job->update(status);
        EXPECT_EQ(zel::code(status.state), 100);
        // only a live dataset takes frames
        EXPECT_EQ(job->feedFrame(""), config["dataset"].contains("live"));
    }
}

TEST(MapperChain, BuildFailures) {
    struct Case {
        json chain;
        std::string error;
        int front, back;
    };
    const std::vector<Case> cases = {
        {json::array({5}), "Invalid chain item: 5", 0, 0},
        {Fixture::chain("zel_slam3"), "Failed to create front end process: zel_slam3", 0, 0},
        {Fixture::chain("legacy_sfm", "zel_pixfuse"), "Failed to create back end process: zel_pixfuse", 1, 0},
        {json::array({{{"name", "legacy_sfm"}, {"type", "middle"}}}), "Invalid chain type: middle", 0, 0},
        {json::array({{{"type", "front_end"}}}), "Failed to create front end process: ", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chain.dump());
        Fixture f;
        CapturedLog log;
        auto job = f.make(f.job({{"form", "zel_frame"}, {"uri", f.dataset(6)}}, c.chain));
        job->start();
        MapperStatus status;
        job->update(status);
        EXPECT_EQ(zel::code(status.state), -14);
        EXPECT_EQ(f.frontEndsMade, c.front);
        EXPECT_EQ(f.backEndsMade, c.back);
        EXPECT_EQ(log.texts(fw::kError), std::vector<std::string>{c.error});
    }
}

TEST(MapperChain, MissingBackEndLibraryEndsCleanly) {
    Fixture f;
    MapperComponents c = f.components();
    c.legacyPf = [](const std::string&, zel::Chain*, void*, void*) { return std::shared_ptr<fw::MapFusion>(); };
    CapturedLog log;
    auto job = createTarnMapper(f.fileJob(6).dump(), c);
    job->start();
    MapperStatus status = runToEnd(*job);
    EXPECT_EQ(zel::code(status.state), -14);
    EXPECT_TRUE(log.has(fw::kError, "Failed to create back end process: legacy_pf"));
}

TEST(MapperRun, FileDatasetRunsToTwelve) {
    Fixture f;
    f.script.locateMap = true;
    const std::string logPath = f.dir.file("log.txt");
    std::ofstream(logPath) << "an earlier run\n";
    CapturedLog log;
    auto job = f.make(f.fileJob(7));
    std::vector<int> states;
    job->start();
    MapperStatus status = runToEnd(*job, &states);
    EXPECT_EQ(zel::code(status.state), 12);
    // The states seen come in the order 100, 4, 12 (a quick run may skip some).
    const std::vector<int> order = {100, 4, 12};
    size_t at = 0;
    for (int s : states) {
        while (at < order.size() && order[at] != s) ++at;
        EXPECT_LT(at, order.size()) << s;
    }
    EXPECT_EQ(states.back(), 12);
    job.reset();

    std::vector<std::string> expected = {"front config {\"live\":false,\"work_dir\":\"/w\"}", "front count 7", "back count 7"};
    for (int i = 0; i < 7; ++i) expected.push_back("track " + std::to_string(i) + " with pixels");
    expected.insert(expected.end(), {"finish", "feed map 7", "front released", "back released"});
    EXPECT_EQ(f.journal.all(), expected);

    EXPECT_TRUE(log.has(fw::kInfo, "Track time cost = "));
    EXPECT_TRUE(log.has(fw::kInfo, "both frontend and backend is reset."));
    EXPECT_TRUE(log.has(fw::kInfo, "Task processed in "));
    std::ifstream in(logPath);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("an earlier run"), std::string::npos);
    EXPECT_NE(text.find("both frontend and backend is reset."), std::string::npos);
    EXPECT_EQ(text.find("TarnMapperImpl instance destroyed."), std::string::npos);  // the file is closed by then

    // The back end's item ends done with a time after its last update.
    ASSERT_EQ(status.outputs.size(), 1u);
    EXPECT_EQ(status.outputs[0]->name, "dom_01");
    EXPECT_EQ(status.outputs[0]->state, zel::ItemState::Finished);
}

// A back end that refused its frames leaves the job failed, not done.
TEST(MapperRun, ABackEndThatRefusedItsFramesEndsMinus14) {
    Fixture f;
    f.script.locateMap = true;
    f.backEndFails = true;
    auto job = f.make(f.fileJob(6));
    job->start();
    EXPECT_EQ(zel::code(runToEnd(*job).state), -14);
    job.reset();
    const auto calls = f.journal.all();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "back released"), calls.end()) << ::testing::PrintToString(calls);
}

TEST(MapperRun, FramesArePassedOnAndReleased) {
    Fixture f;
    f.script.locateEachFrame = true;
    auto job = f.make(f.fileJob(6));
    job->start();
    job->start();  // a second start changes nothing
    EXPECT_EQ(zel::code(runToEnd(*job).state), 12);
    job.reset();
    EXPECT_EQ(f.frontEndsMade, 1);
    const auto calls = f.journal.all();
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(std::find(calls.begin(), calls.end(), "feed frame " + std::to_string(i)), calls.end()) << i;
}

TEST(MapperRun, StopBeforeTheFirstFrame) {
    Fixture f;
    f.script.stopAtFrameCount = true;
    auto job = f.make(f.fileJob(6));
    job->start();
    EXPECT_EQ(zel::code(runToEnd(*job).state), 13);
    job.reset();
    const auto calls = f.journal.all();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("track", 0) == 0; }), 0);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "finish"), calls.end());
}

TEST(MapperRun, FailingFrontEndEndsTheJobCleanly) {
    Fixture f;
    f.script.throwOnTrack = true;
    CapturedLog log;
    auto job = f.make(f.fileJob(6));
    job->start();
    EXPECT_EQ(zel::code(runToEnd(*job).state), -14);
    job.reset();
    EXPECT_TRUE(log.has(fw::kError, "Mapping failed: lost track"));
    const auto calls = f.journal.all();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "front released"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "back released"), calls.end());
}

TEST(MapperEvents, FailuresAreLoggedAndTheJobGoesOn) {
    Fixture f;
    f.backEndThrows = true;
    f.script.locateEachFrame = true;
    f.script.locateMap = true;
    CapturedLog log;
    auto job = f.make(f.fileJob(6));
    job->start();
    EXPECT_EQ(zel::code(runToEnd(*job).state), 12);
    EXPECT_TRUE(log.has(fw::kError, "Failed to feed frame to backend: frame refused"));
    EXPECT_TRUE(log.has(fw::kError, "Failed to feed map to backend: map refused"));

    auto& impl = dynamic_cast<TarnMapperImpl&>(*job);
    impl.handle("frame_done", nullptr);
    EXPECT_TRUE(log.has(fw::kError, "Unknown command: frame_done"));
    impl.handle("frame_located", std::make_shared<fw::Map>());  // not a frame: dropped
    impl.handle("map_located", nullptr);
}

TEST(MapperLive, FramesPushedUntilTheEmptyText) {
    Fixture f;
    f.script.locateEachFrame = true;
    auto job = f.make(f.job({{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 3}}));
    job->start();
    const std::string image = f.dir.file("live.png");
    cv::imwrite(image, cv::Mat(24, 32, CV_8UC3, cv::Scalar(1, 2, 3)));
    const json record = {{"uri", image},
                         {"calibration", {{"width", 32}, {"height", 24}, {"fx", 30}, {"fy", 30}, {"cx", 16}, {"cy", 12}}}};
    EXPECT_TRUE(job->feedFrame(record.dump()));
    EXPECT_TRUE(job->feedFrame(record.dump()));
    EXPECT_FALSE(job->feedFrame(R"({"uri":"x"})"));
    EXPECT_THROW(job->feedFrame("{"), json::parse_error);
    EXPECT_TRUE(job->feedFrame(""));
    EXPECT_EQ(zel::code(runToEnd(*job).state), 12);
    job.reset();
    const auto calls = f.journal.all();
    EXPECT_EQ(calls[0], "front config {\"live\":true,\"work_dir\":\"/w\"}");
    EXPECT_EQ(calls[1], "front count 3");
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("track", 0) == 0; }), 2);
}

TEST(MapperRun, NothingLocatedFailsInsteadOfReportingDone) {
    Fixture f;  // the front end tracks every frame but locates none
    CapturedLog log;
    auto job = f.make(f.fileJob(6));
    job->start();
    EXPECT_EQ(zel::code(runToEnd(*job).state), -14);
    job.reset();
    EXPECT_TRUE(log.has(fw::kError, "No frame could be loaded or located."));
    const auto calls = f.journal.all();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "back released"), calls.end());
}

namespace {

// A back end whose own thread reports progress and items, and reports a
// located frame to the job, until its destructor joins it. Held back, the
// thread reports nothing before the job releases the back end.
class ReportingBackEnd : public fw::MapFusion {
public:
    ReportingBackEnd(zel::Chain* owner, bool heldBack, std::string path)
        : owner_(owner), node_("Map Fusion", owner), path_(std::move(path)) {
        node_.setProgressRecord(ProgressNode("Map Fusion", 0.0, 1000.0, 1.0f, -1.0));
        worker_ = std::thread([this, heldBack] {
            if (heldBack) released_.get_future().wait();
            auto frame = std::make_shared<fw::MapFrame>(99, 1.0);
            for (int i = 1; !stopping_.load() || i < 50; ++i) {
                auto cloud = std::make_shared<zel::Tileset3D>();
                cloud->name = "pointcloud_01";
                cloud->type = zel::ItemType::Tileset3D;
                cloud->state = zel::ItemState::Updating;
                cloud->path = path_;
                cloud->time = static_cast<double>(i);
                node_.setOutput(cloud);
                node_.setProgress(std::min(i, 1000), -1.0);
                owner_->handle("frame_located", frame);  // into the job, which may be releasing this back end
            }
        });
    }
    ~ReportingBackEnd() override {
        stopping_.store(true);
        released_.set_value();
        worker_.join();
    }
    bool feedFrame(const std::shared_ptr<fw::MapFrame>&) override { return true; }

private:
    zel::Chain* owner_;
    zel::Node node_;
    const std::string path_;
    std::atomic<bool> stopping_{false};
    std::promise<void> released_;
    std::thread worker_;
};

}  // namespace

// Rounds alternate between a back end that reports at once and one whose
// reports come only while the job releases it: a frame reported located
// then still counts, and the job is done.
TEST(MapperRun, BackEndReportingFromItsOwnThreadWhileReleased) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Fixture f;
        MapperComponents c = f.components();
        const bool heldBack = round % 2 == 1;
        const std::string cloud = f.dir.write("tileset.json", "{}");
        c.legacyPf = [heldBack, cloud](const std::string&, zel::Chain* owner, void*, void*) {
            return std::make_shared<ReportingBackEnd>(owner, heldBack, cloud);
        };
        auto job = createTarnMapper(f.fileJob(6).dump(), c);
        job->start();
        // Polled while the back end reports and is released on the run thread.
        const MapperStatus status = runToEnd(*job);
        EXPECT_EQ(zel::code(status.state), 12);
        ASSERT_EQ(status.outputs.size(), 1u);
        EXPECT_EQ(status.outputs[0]->name, "pointcloud_01");
    }
}
