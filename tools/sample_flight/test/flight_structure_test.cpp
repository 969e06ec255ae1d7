// The sample flight's images agree with its frame records: the front end,
// placing each frame by its record, finds sparse points between neighbours,
// and they lie on the flat ground 60 m below every camera.
#include "dataset/image_dataset.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_frame.h"
#include "sfm/front_end.h"
#include "testsupport/captured_log.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"
#include "zel/node.h"
#include "zel/progress_node.h"

#include <gtest/gtest.h>

namespace {

class Collector : public zel::Chain {
public:
    Collector() : zel::Chain("Mapper", nullptr) { setProgressRecord(zel::mappingStages()); }
    void handle(const std::string& name, std::shared_ptr<fw::GObject> data) override {
        if (name == "map_located") map = std::dynamic_pointer_cast<fw::Map>(data);
    }
    std::shared_ptr<fw::Map> map;
};

}  // namespace

TEST(SampleFlight, FrontEndFindsTheGroundInEveryFrame) {
    const testsupport::TempDir dir("sample-flight");
    ASSERT_FALSE(dir.path().empty());
    const auto r = testsupport::runProcess({testsupport::kSampleFlightPath, dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    testsupport::CapturedLog log;
    ImageDataset dataset(dir.file("frames.json"));
    ASSERT_EQ(dataset.frameCount(), 6);
    Collector chain;
    auto frontEnd = createSfmInstance(R"({"live":false})", &chain, nullptr, nullptr);
    ASSERT_TRUE(frontEnd);
    frontEnd->setFrameCount(dataset.frameCount());
    while (auto frame = dataset.nextFrame()) {
        frontEnd->trackFrame(frame);
        frame->setImage(fw::GImage(), 0, 0);
    }
    frontEnd->finish();
    std::vector<std::string> problems;
    for (const auto& record : log.records())
        if (record.first <= fw::kWarning) problems.push_back(record.second);
    EXPECT_TRUE(problems.empty()) << problems.front();

    ASSERT_TRUE(chain.map);
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    chain.map->getFrames(frames);
    ASSERT_EQ(frames.size(), 6u);
    for (const auto& frame : frames) {
        SCOPED_TRACE(testing::Message() << "frame " << frame->id);
        fw::ObservationMap observations;
        frame->copyObservations(observations);
        // Every frame is matched with a neighbour; the inner ones with two.
        EXPECT_GE(observations.size(), frame->id == 0 || frame->id == 5 ? 300u : 600u);
        for (const auto& entry : observations) {
            pt::Point2d inverse;
            ASSERT_TRUE(frame->getKeyPointInverseDepth(static_cast<int>(entry.second), inverse));
            EXPECT_NEAR(1.0 / inverse.x, 60.0, 0.6) << "point " << entry.first;
        }
    }
}
