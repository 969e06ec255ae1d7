// The front end's live driver on a synthetic flight: each frame reported
// once the next one is matched, a distorted lens, a frame without attitude.
#include "front_end_fixture.h"

using namespace front_end_test;

TEST(LiveFrontEnd, LiveDatasetReportsEachFrameOnceMatchedWithTheNext) {
    Flight flight;
    flight.add(0.0, 0.0, 100.0);
    flight.add(15.0, 5.0, 105.0, 10.0);
    flight.add(30.0, 0.0, 100.0, 180.0);  // the next flight line, turned round
    auto dataset = flight.dataset();
    RecordingChain chain;
    auto frontEnd = createSfmInstance(R"({"live":true})", &chain, nullptr, nullptr);
    ASSERT_TRUE(frontEnd);
    track(*frontEnd, *dataset, [&](size_t n) { EXPECT_EQ(chain.events.size(), n) << "after frame " << n; });
    ASSERT_EQ(chain.events.size(), 3u);
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(chain.events[i].first, "frame_located");
        frames.push_back(std::dynamic_pointer_cast<fw::MapFrame>(chain.events[i].second));
        ASSERT_TRUE(frames.back());
        EXPECT_EQ(frames.back()->id, i);
    }
    expectStructure(flight, frames);
}

TEST(LiveFrontEnd, DistortedLens) {
    Flight flight;
    flight.distortion = {-0.08, 0.02, 0.0005, -0.0003, 0.0};
    for (int i = 0; i < 2; ++i) flight.add(20.0 * i, 0.0, 100.0);
    auto dataset = flight.dataset();
    RecordingChain chain;
    auto frontEnd = createSfmInstance(R"({"live":true})", &chain, nullptr, nullptr);
    track(*frontEnd, *dataset);
    ASSERT_EQ(chain.events.size(), 2u);
    expectStructure(flight, {std::dynamic_pointer_cast<fw::MapFrame>(chain.events[0].second),
                             std::dynamic_pointer_cast<fw::MapFrame>(chain.events[1].second)});
}

TEST(LiveFrontEnd, FrameWithoutAttitudeIsLocatedFromTheImages) {
    Flight flight;
    flight.add(0.0, 0.0, 100.0);
    flight.add(15.0, 0.0, 100.0, 0.0, false);
    flight.add(30.0, 0.0, 100.0);
    auto dataset = flight.dataset();
    RecordingChain chain;
    testsupport::CapturedLog log;
    auto frontEnd = createSfmInstance(R"({"live":true})", &chain, nullptr, nullptr);
    track(*frontEnd, *dataset);
    ASSERT_EQ(chain.events.size(), 3u);
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    for (const auto& event : chain.events) frames.push_back(std::dynamic_pointer_cast<fw::MapFrame>(event.second));
    EXPECT_TRUE(log.texts(fw::kError).empty());
    EXPECT_TRUE(log.texts(fw::kWarning).empty());
    expectStructure(flight, frames);
    EXPECT_EQ(chain.progress().children[0].value, 3.0);
}
