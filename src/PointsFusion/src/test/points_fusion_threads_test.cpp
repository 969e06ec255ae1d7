// The whole dense back end over six located frames of a tilted textured
// plane: order, windows, the flush, progress, the sinks' lifetimes, and the
// refusals when the chain cannot be made.

#include "pointsfusion/points_fusion.h"
#include "pointsfusion/terrain_factory.h"

#include "../../stereo_dense/test/stereo_scene.h"
#include "cleaned_frames.h"

#include "fw/map.h"
#include "fw/messenger.h"
#include "fw/settings.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "zel/node.h"
#include "zel/points_fusion_factory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using stereo_test::PlaneScene;
using testsupport::CapturedLog;

// What the stand-in terrain node heard, in order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<uint64_t> ids;
    std::vector<std::string> configs;
    size_t points = 0;
    void add(const std::string& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    }
};

class StandInTerrain : public fw::GObject {
public:
    explicit StandInTerrain(Journal& journal) : journal_(journal) {}
    ~StandInTerrain() override { journal_.add("terrain destroyed"); }
    void call(const std::string& command, void* arg) override {
        if (command != "point_cloud") return;
        const dv::Var& message = *static_cast<dv::Var*>(arg);
        const auto frame = message[0].convert<std::shared_ptr<fw::MapFrame>>();
        const auto points = message[1].convert<std::vector<pt::Point3_<double>>>();
        std::lock_guard<std::mutex> lock(journal_.mutex);
        journal_.events.push_back("points " + std::to_string(frame->id));
        journal_.ids.push_back(frame->id);
        journal_.points += points.size();
    }

private:
    Journal& journal_;
};

using Cleaned = pftest::CleanedFrames;

// 240 x 180 images, 20 m between frames at 100 m: 40 px of disparity.
struct SmallPlane : PlaneScene {
    SmallPlane() : PlaneScene(10.0, 2400) {
        width = 240;
        height = 180;
        focal = 200.0;
    }
};

class PointsFusionChain : public ::testing::Test {
protected:
    static void SetUpTestSuite() { scene = new SmallPlane(); }
    static void TearDownTestSuite() {
        delete scene;
        scene = nullptr;
    }
    void SetUp() override {
        setTerrainFactory([this](const std::string& config, zel::Chain*) {
            journal.add("terrain made");
            {
                std::lock_guard<std::mutex> lock(journal.mutex);
                journal.configs.push_back(config);
            }
            TerrainNode made;
            if (terrainMissing) return made;
            made.node = std::make_shared<StandInTerrain>(journal);
            made.setUpOk = !terrainBroken;
            return made;
        });
        reset();
    }
    void TearDown() override {
        setTerrainFactory(TerrainFactory());
        reset();
    }
    static void reset() {
        for (const char* key : {"pointsfusion.clean_queuesize", "pointsfusion.min_consistent_views"})
            fw::Settings::instance().setvar(key, "2", true);
    }

    json config(int window) const {
        return {{"legacy_tf", {{"specific", {{"terrainfusion.max_zoom", 26}}}}},
                {"tiling", {{"location", (fs::path(dir.path()) / "pc").string()}}},
                {"scale", 4.0},
                {"specific",
                 {{"pointsfusion.dense_method", 0},
                  {"pointsfusion.dense_thread_num", 2},
                  {"pointsfusion.clean_queuesize", window}}}};
    }
    std::shared_ptr<fw::MapFrame> frame(uint64_t id) const {
        return scene->frame(id, 20.0 * (double(id) - 3.5), 0.0, dir.path(), 0.0, 16, 12);
    }
    std::shared_ptr<fw::Map> shuffledMap() const {
        auto map = std::make_shared<fw::Map>();
        for (uint64_t id : {4, 1, 6, 3, 5, 2}) map->addFrame(frame(id));
        return map;
    }
    std::vector<std::string> pointCloudFolders() const {
        std::vector<std::string> names;
        const fs::path pc = fs::path(dir.path()) / "pc";
        if (!fs::is_directory(pc)) return names;
        for (const auto& e : fs::directory_iterator(pc))
            if (e.is_directory()) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Share of the confirmed pixels of every cleaned frame that lie on the
    // true plane within 1 % of their depth.
    static void expectOnThePlane(const std::vector<std::shared_ptr<ImageScaled>>& records) {
        const double a = 10.0 * synthetic::kDegree;
        const pt::Point3d normal(0.0, -std::sin(a), std::cos(a));
        for (const auto& r : records) {
            SCOPED_TRACE(r->frame->id);
            size_t confirmed = 0, on = 0;
            for (int y = 0; y < r->depth.rows; ++y)
                for (int x = 0; x < r->depth.cols; ++x) {
                    const float d = r->depth.at<float>(y, x);
                    if (d <= 0.0f || r->consistency.at<uint8_t>(y, x) < 2) continue;
                    ++confirmed;
                    const pt::Point3d c((x - r->K[2]) / r->K[0] * d, (y - r->K[5]) / r->K[4] * d, d);
                    const pt::Point3d w = r->pose * c;
                    if (std::fabs(normal.x * w.x + normal.y * w.y + normal.z * w.z) <= 0.01 * d) ++on;
                }
            EXPECT_GT(confirmed, size_t(r->depth.total() / 5)) << "a fifth of the pixels confirmed";
            EXPECT_GE(double(on), 0.99 * double(confirmed));
        }
    }

    static SmallPlane* scene;
    testsupport::TempDir dir;
    Journal journal;
    bool terrainMissing = false;
    bool terrainBroken = false;
};
SmallPlane* PointsFusionChain::scene = nullptr;

std::vector<uint64_t> idsOf(const std::vector<std::shared_ptr<ImageScaled>>& records) {
    std::vector<uint64_t> ids;
    for (const auto& r : records) ids.push_back(r->frame->id);
    return ids;
}

TEST_F(PointsFusionChain, ShuffledMapInIdOrderThroughBothSinks) {
    struct Case {
        int window;
        std::vector<uint64_t> delivered;
    };
    // Frame 6 is only a partner; frame 5 is checked by nobody. With a window
    // of 3 frame 4 still leaves at the end, and with 4 frames 3 and 4 do.
    for (const Case& c : {Case{2, {1, 2, 3, 4}}, Case{3, {1, 2, 3, 4}}, Case{4, {1, 2, 3, 4}}}) {
        SCOPED_TRACE(c.window);
        journal.events.clear();
        journal.ids.clear();
        journal.points = 0;
        fs::remove_all(fs::path(dir.path()) / "pc");
        Cleaned cleaned;
        zel::Chain job("job", nullptr);
        {
            std::shared_ptr<fw::MapFusion> backEnd = createPointsFusionInstance(config(c.window).dump(), &job,
                                                                                nullptr, nullptr);
            ASSERT_TRUE(backEnd);
            EXPECT_TRUE(backEnd->feedMap(shuffledMap()));
            auto* pf = dynamic_cast<PointsFusion*>(backEnd.get());
            ASSERT_TRUE(pf && pf->handler());
            const ProgressNode progress = pf->handler()->progress();
            EXPECT_EQ(progress.name, "Map Fusion");
            EXPECT_EQ(progress.value, 6.0);
            EXPECT_EQ(progress.total, 6.0);
            bool failed = true;
            backEnd->call("PointsFusion_Failed", &failed);
            EXPECT_FALSE(failed);
        }
        EXPECT_EQ(journal.ids, c.delivered) << "in id order, each once";
        ASSERT_FALSE(journal.events.empty());
        EXPECT_EQ(journal.events.back(), "terrain destroyed") << "every point before the sink went";
        EXPECT_GT(journal.points, 0u);
        EXPECT_EQ(idsOf(cleaned.records()), c.delivered);
        expectOnThePlane(cleaned.records());
        EXPECT_EQ(pointCloudFolders(), (std::vector<std::string>{"1", "2", "3", "4"}));
        const auto items = job.outputs();
        ASSERT_FALSE(items.empty());
        EXPECT_EQ(items[0]->name, "pointcloud_01");
    }
}

TEST_F(PointsFusionChain, TheSixLinesAndTheZoomReachTheTerrainNode) {
    CapturedLog log;
    zel::Chain job("job", nullptr);
    auto pf = std::make_shared<PointsFusion>(config(2).dump(), &job);
    auto map = std::make_shared<fw::Map>();
    map->addFrame(frame(2));
    map->addFrame(frame(1));
    pf->feedMap(map);
    const char* lines[] = {
        "[POINTSFUSION] First frame input, init handler class", "[POINTSFUSION] First frame input, init TF",
        "[POINTSFUSION] First frame input, init point handler", "[POINTSFUSION] First frame input, init pruner",
        "[POINTSFUSION] First frame input, init scale",         "[POINTSFUSION] First frame input, init deepth processor",
    };
    std::vector<std::string> seen;
    for (const auto& r : log.records())
        if (r.second.rfind("[POINTSFUSION] First frame input", 0) == 0) {
            EXPECT_EQ(r.first, fw::kInfo);
            seen.push_back(r.second);
        }
    EXPECT_EQ(seen, std::vector<std::string>(std::begin(lines), std::end(lines)));
    EXPECT_EQ(log.count("[POINTSFUSION] pointfusion feed 2 frames in", fw::kInfo), 1u);
    ASSERT_EQ(journal.configs.size(), 1u);
    const json tf = json::parse(journal.configs[0]);
    EXPECT_EQ(tf["zoom_level"], pf->zoomLevel());
    EXPECT_TRUE(tf["fetch_gps"].is_boolean());
    EXPECT_EQ(pf->handler()->progress().total, 2.0);
}

TEST_F(PointsFusionChain, ScaleAndOptionalStages) {
    struct Case {
        const char* name;
        json patch;
        float scale;
        bool terrain;
    };
    const Case cases[] = {
        {"integer scale", {{"scale", 2}}, 2.0f, true},
        {"text scale is ignored", {{"scale", "2"}}, 4.0f, true},
        {"no terrain node", {{"legacy_tf", nullptr}}, 4.0f, false},
        {"no point-cloud location", {{"tiling", nullptr}}, 4.0f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal.configs.clear();
        CapturedLog log;
        json cfg = config(2);
        cfg.merge_patch(c.patch);
        zel::Chain job("job", nullptr);
        PointsFusion pf(cfg.dump(), &job);
        EXPECT_TRUE(pf.feedFrame(frame(1)));
        ASSERT_TRUE(pf.handler() && pf.handler()->ready());
        EXPECT_EQ(pf.handler()->scale(), c.scale);
        EXPECT_EQ(pf.handler()->denseDepth()->scale(), c.scale);
        EXPECT_EQ(journal.configs.size(), c.terrain ? 1u : 0u);
        EXPECT_EQ(log.count("init TF"), c.terrain ? 1u : 0u);
        EXPECT_EQ(pf.handler()->progress().name, "") << "fed frame by frame: no progress";
        EXPECT_EQ(pf.handler()->frameTotal(), -1);
    }
}

// Nothing can be made: one ERROR line, every frame refused, the job told.
TEST_F(PointsFusionChain, RefusesFramesWhenTheChainCannotBeMade) {
    struct Case {
        const char* name;
        std::string config;
        bool missing, broken;
        const char* error;
    };
    const Case cases[] = {
        {"no terrain library", config(2).dump(), true, false, "cant find library terrainfusion"},
        {"terrain set-up failed", config(2).dump(), false, true, "[POINTSFUSION] terrain fusion set-up failed"},
        {"config not an object", "[1, 2]", false, false, "[POINTSFUSION] config is not a JSON object"},
        {"config not JSON", "{", false, false, "[POINTSFUSION] config is not a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        terrainMissing = c.missing;
        terrainBroken = c.broken;
        CapturedLog log;
        zel::Chain job("job", nullptr);
        {
            PointsFusion pf(c.config, &job);
            bool failed = true;
            pf.call("PointsFusion_Failed", &failed);
            EXPECT_FALSE(failed) << "nothing refused yet";
            EXPECT_FALSE(pf.feedFrame(frame(1)));
            EXPECT_FALSE(pf.feedFrame(frame(2)));
            EXPECT_TRUE(pf.feedMap(shuffledMap()));
            pf.call("PointsFusion_Failed", &failed);
            EXPECT_TRUE(failed);
        }
        EXPECT_EQ(log.count(c.error, fw::kError), 1u);
        EXPECT_EQ(log.count("[POINTSFUSION] processing chain not built, frames refused", fw::kError), 1u);
    }
}

TEST_F(PointsFusionChain, AStopBeforeTheFirstFrameBuildsNothing) {
    zel::Chain job("job", nullptr);
    PointsFusion pf(config(2).dump(), &job);
    fw::Messenger::instance().publish("sbt.input.stop", true);
    EXPECT_FALSE(pf.feedFrame(frame(1)));
    EXPECT_TRUE(pf.feedMap(shuffledMap()));
    EXPECT_FALSE(pf.handler());
    EXPECT_TRUE(journal.configs.empty());
    bool failed = true;
    pf.call("PointsFusion_Failed", &failed);
    EXPECT_FALSE(failed) << "a stop is no failure";
}

TEST_F(PointsFusionChain, FramesFromTheTopics) {
    Cleaned cleaned;
    zel::Chain job("job", nullptr);
    {
        PointsFusion pf(config(2).dump(), &job);
        for (uint64_t id : {1, 2, 3}) fw::Messenger::instance().publish("sdk.fr2fuse", frame(id));
        ASSERT_TRUE(pf.handler());
    }
    EXPECT_EQ(idsOf(cleaned.records()), (std::vector<uint64_t>{1}));
    EXPECT_EQ(journal.ids, std::vector<uint64_t>{1});
}

}  // namespace
