// One bad GPS fix on the small survey (RTK accuracies in the records):
// frame 5's position raised, moved north or east, or off the earth. The
// front end locates every frame as it does without the fault.
#include "block_flight.h"
#include "pose_errors.h"

#include "fw/map.h"
#include "sfm/front_end.h"
#include "survey/survey_plan.h"
#include "survey/survey_writer.h"
#include "testsupport/captured_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;
using sfm_test::angleOf;
using sfm_test::rotationOf;
using sfm_test::vec;

class GpsFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new testsupport::TempDir("sfm-gps-faults");
        survey::SurveyPlan plan;
        ASSERT_TRUE(survey::SurveyPlan::byName("small", plan));
        std::string file, error;
        ASSERT_TRUE(survey::writeSurvey(plan, dir->path(), survey::SurveyOptions(), file, error)) << error;
        std::ifstream in(file);
        records = new json(json::parse(in));
        clean = new std::vector<std::shared_ptr<fw::MapFrame>>(run(*records, false));
    }
    static void TearDownTestSuite() {
        delete clean;
        delete records;
        delete dir;
    }

    static std::vector<std::shared_ptr<fw::MapFrame>> run(const json& list, bool live) {
        static int n = 0;
        const std::string file = dir->file("records" + std::to_string(n++) + ".json");
        std::ofstream(file) << list.dump();
        ImageDataset dataset(file);
        sfm_test::RecordingChain chain;
        const std::string config = std::string(R"({"live":)") + (live ? "true" : "false") +
                                   R"(,"specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"}})";
        auto frontEnd = createSfmInstance(config, &chain, nullptr, nullptr);
        EXPECT_TRUE(frontEnd);
        if (!frontEnd) return {};
        sfm_test::track(*frontEnd, dataset);
        std::vector<std::shared_ptr<fw::MapFrame>> frames;
        for (const auto& [name, data] : chain.events) {
            if (name == "map_located") std::dynamic_pointer_cast<fw::Map>(data)->getFrames(frames);
            if (name == "frame_located") frames.push_back(std::dynamic_pointer_cast<fw::MapFrame>(data));
        }
        return frames;
    }

    static testsupport::TempDir* dir;
    static json* records;
    static std::vector<std::shared_ptr<fw::MapFrame>>* clean;
};
testsupport::TempDir* GpsFaults::dir = nullptr;
json* GpsFaults::records = nullptr;
std::vector<std::shared_ptr<fw::MapFrame>>* GpsFaults::clean = nullptr;

struct Fault {
    const char* name;
    std::function<void(json&)> apply;
    bool outOfRange;
};

TEST_F(GpsFaults, FrameFiveLocatedAsWithoutTheFault) {
    ASSERT_EQ(clean->size(), records->size());
    const std::vector<Fault> faults = {
        {"altitude +30 m", [](json& g) { g["altitude"] = g["altitude"].get<double>() + 30.0; }, false},
        {"latitude +0.01 degree", [](json& g) { g["latitude"] = g["latitude"].get<double>() + 0.01; }, false},
        {"longitude +0.01 degree", [](json& g) { g["longitude"] = g["longitude"].get<double>() + 0.01; }, false},
        {"latitude 91", [](json& g) { g["latitude"] = 91.0; }, true},
        {"altitude 1e9", [](json& g) { g["altitude"] = 1e9; }, true},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        json list = *records;
        fault.apply(list[5]["gps"]);
        testsupport::CapturedLog log;
        const auto frames = run(list, false);
        ASSERT_EQ(frames.size(), clean->size());
        if (fault.outOfRange) {
            EXPECT_EQ(log.count(list[5]["uri"].get<std::string>(), fw::kWarning), 1u);
        }
        double shift = 0.0, turn = 0.0;
        for (size_t i = 0; i < frames.size(); ++i) {
            const fw::SE3 a = frames[i]->getPose(), b = (*clean)[i]->getPose();
            shift = std::max(shift, cv::norm(vec(a.translation) - vec(b.translation)));
            turn = std::max(turn, angleOf(rotationOf(a).t() * rotationOf(b)));
        }
        const double f = frames[0]->getCamera(0)->parameterVector()[2];
        const double f0 = (*clean)[0]->getCamera(0)->parameterVector()[2];
        std::cout << fault.name << ": poses within " << shift << " m and " << turn << " degrees of the run without it, focal "
                  << f << " px (" << f0 << " px without)" << std::endl;
        EXPECT_LT(shift, 0.1);
        EXPECT_LT(turn, 0.1);
        EXPECT_NEAR(f, f0, 0.002 * f0);
    }
}

// Live: the scale fit and the window's adjustment take the bad fix the same way.
TEST_F(GpsFaults, LiveFrameFiveRaisedLocatedAsWithoutTheFault) {
    const auto reference = run(*records, true);
    json list = *records;
    list[5]["gps"]["altitude"] = list[5]["gps"]["altitude"].get<double>() + 30.0;
    const auto frames = run(list, true);
    ASSERT_EQ(frames.size(), reference.size());
    double shift = 0.0;
    for (size_t i = 0; i < frames.size(); ++i)
        shift = std::max(shift, cv::norm(vec(frames[i]->getPose().translation) - vec(reference[i]->getPose().translation)));
    std::cout << "live, altitude +30 m: poses within " << shift << " m of the run without it" << std::endl;
    EXPECT_LT(shift, 0.1);
}

}  // namespace
