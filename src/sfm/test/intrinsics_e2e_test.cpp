// Refined intrinsics ("ADJUST_ALL", file dataset): a focal length that the
// records give a few per cent off is recovered where the ground has
// relief, and held at the record's over flat ground seen straight down,
// where the images cannot tell it from the flying height.
#include "block_flight.h"
#include "pose_errors.h"

#include "fw/map.h"
#include "sfm/front_end.h"
#include "survey/survey_plan.h"
#include "survey/survey_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

std::vector<std::shared_ptr<fw::MapFrame>> locate(const std::string& file) {
    ImageDataset dataset(file);
    sfm_test::RecordingChain chain;
    auto frontEnd =
        createSfmInstance(R"({"live":false,"specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"}})", &chain, nullptr, nullptr);
    EXPECT_TRUE(frontEnd);
    if (!frontEnd) return {};
    sfm_test::track(*frontEnd, dataset);
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    for (const auto& [name, data] : chain.events)
        if (name == "map_located") std::dynamic_pointer_cast<fw::Map>(data)->getFrames(frames);
    return frames;
}

// The small survey (relief: a hill, an embankment, buildings), its records
// saying a focal length 3 % longer than the camera's.
TEST(Intrinsics, FocalLengthRecoveredOverRelief) {
    testsupport::TempDir dir("sfm-intrinsics");
    survey::SurveyPlan plan;
    ASSERT_TRUE(survey::SurveyPlan::byName("small", plan));
    const std::string file = survey::writeSurvey(plan, dir.path(), survey::SurveyOptions());
    json records;
    std::ifstream(file) >> records;
    for (json& r : records) {
        r["calibration"]["fx"] = r["calibration"]["fx"].get<double>() * 1.03;
        r["calibration"]["fy"] = r["calibration"]["fy"].get<double>() * 1.03;
    }
    const std::string off = dir.file("focal_off.json");
    std::ofstream(off) << records.dump();
    const auto frames = locate(off);
    ASSERT_EQ(frames.size(), records.size());
    const double f = frames[0]->getCamera(0)->parameterVector()[2];
    std::cout << "focal " << f << " px, truth " << plan.camera.fx << " px, recorded " << 1.03 * plan.camera.fx << " px"
              << std::endl;
    EXPECT_NEAR(f, plan.camera.fx, 0.005 * plan.camera.fx);
}

// Three strips of ten frames over flat ground, GPS 2 m / 3 m and gimbal 1
// degree of noise: the focal length stays the record's.
TEST(Intrinsics, FocalLengthHeldOverFlatGround) {
    sfm_test::BlockFlight flight(0.0);
    flight.plan(3, 10, 20.0, 60.0, 100.0);
    sfm_test::RecordNoise noise;
    noise.horizontal = 2.0;
    noise.vertical = 3.0;
    noise.attitude = 1.0;
    const auto frames = locate(flight.write(noise));
    ASSERT_EQ(frames.size(), flight.shots.size());
    const std::vector<double> camera = frames[0]->getCamera(0)->parameterVector();
    const sfm_test::NeighbourErrors e = sfm_test::neighbourErrors(flight.shots, frames, 10);
    std::cout << "focal " << camera[2] << " px (recorded " << flight.K(0, 0) << " px), k1 " << camera[6] << ", k2 " << camera[7]
              << "; neighbours: rotation " << e.rotation << " deg, translation " << e.translation * 100 << " % of baseline"
              << std::endl;
    EXPECT_NEAR(camera[2], flight.K(0, 0), 0.005 * flight.K(0, 0));
    EXPECT_LT(e.rotation, 0.03);
}

}  // namespace
