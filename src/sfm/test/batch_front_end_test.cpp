// The front end's file-dataset driver on a synthetic flight: one map with
// every frame, and a frame that cannot be matched.
#include "front_end_fixture.h"

using namespace front_end_test;

TEST(BatchFrontEnd, FileDatasetGivesOneMapWithEveryFrameLocated) {
    Flight flight;
    for (int i = 0; i < 4; ++i) flight.add(20.0 * i, 0.0, 100.0);
    auto dataset = flight.dataset();
    RecordingChain chain;
    auto frontEnd = createSfmInstance(R"({"work_dir":"/w","live":false})", &chain, nullptr, nullptr);
    ASSERT_TRUE(frontEnd);
    track(*frontEnd, *dataset, [&](size_t) { EXPECT_TRUE(chain.events.empty()); });
    ASSERT_EQ(chain.events.size(), 1u);
    EXPECT_EQ(chain.events[0].first, "map_located");
    auto map = std::dynamic_pointer_cast<fw::Map>(chain.events[0].second);
    ASSERT_TRUE(map);
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    map->getFrames(frames);
    ASSERT_EQ(frames.size(), 4u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->id, i);
        std::string path;
        frames[i]->call("GetImagePath", &path);
        EXPECT_EQ(path, dataset->frames()[i]->imagePath());
        EXPECT_FALSE(frames[i]->label.empty());
    }
    expectStructure(flight, frames);
    // A point seen by several frames is one map point observed by each of
    // them, and every point is seen by two frames at least.
    std::map<uint64_t, size_t> seenBy;
    for (const auto& frame : frames) {
        fw::ObservationMap observations;
        frame->copyObservations(observations);
        for (const auto& entry : observations) ++seenBy[entry.first];
    }
    for (const auto& [id, count] : seenBy) EXPECT_GE(count, 2u) << "point " << id;
    fw::ObservationMap first, second;
    frames[0]->copyObservations(first);
    frames[1]->copyObservations(second);
    size_t shared = 0;
    for (const auto& entry : first) shared += second.count(entry.first);
    EXPECT_GT(shared, first.size() / 2);
    // The "Locate" stage is complete.
    const ProgressNode progress = chain.progress();
    EXPECT_EQ(progress.children[0].value, 4.0);
    EXPECT_EQ(progress.children[0].total, 4.0);
    EXPECT_NEAR(progress.value, 0.7, 1e-6);
}

// A frame that cannot be matched is handed on with its recorded pose, no
// points and a WARNING; the job goes on.
TEST(BatchFrontEnd, UnmatchedFrameKeepsItsRecordedPose) {
    struct Case {
        const char* name;
        double east;
        bool blank;
    };
    const Case cases[] = {{"no texture", 15.0, true}, {"a gap in the flight", 1500.0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Flight flight;
        flight.add(0.0, 0.0, 100.0);
        flight.add(15.0, 0.0, 100.0);
        flight.add(c.east, 300.0, 100.0, 0.0, true, c.blank);
        flight.add(30.0, 0.0, 100.0);
        flight.add(45.0, 0.0, 100.0);
        auto dataset = flight.dataset();
        RecordingChain chain;
        testsupport::CapturedLog log;
        auto frontEnd = createSfmInstance(R"({"live":false})", &chain, nullptr, nullptr);
        track(*frontEnd, *dataset);
        ASSERT_EQ(chain.events.size(), 1u);
        std::vector<std::shared_ptr<fw::MapFrame>> frames;
        std::dynamic_pointer_cast<fw::Map>(chain.events[0].second)->getFrames(frames);
        ASSERT_EQ(frames.size(), 5u);
        EXPECT_EQ(log.texts(fw::kWarning),
                  std::vector<std::string>{"Frame 2 could not be matched with its neighbours: it keeps its recorded pose."});
        EXPECT_EQ(frames[2]->observationCount(), 0);
        expectShotPose(flight.shots[2], frames[2]->getPose());
        expectStructure(flight, {frames[0], frames[1], frames[3], frames[4]});
    }
}
