// sample_flight as the example script runs it, then zel_mapper on the example
// task pointing at the flight it wrote.
#include "testsupport/example_task.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
using testsupport::runProcess;
using testsupport::splitLines;
namespace fs = std::filesystem;

namespace {

using testsupport::exampleTask;
using testsupport::readFile;

// The log file's lines of the given severity letters, prefix cut off.
std::vector<std::string> logLines(const fs::path& home, const std::string& letters) {
    std::vector<std::string> found;
    for (const auto& line : splitLines(readFile(home / "log.txt"))) {
        const size_t end = line.find("] ");
        if (!line.empty() && letters.find(line[0]) != std::string::npos && end != std::string::npos)
            found.push_back(line.substr(end + 2));
    }
    return found;
}

class SampleFlightRun : public ::testing::Test {
protected:
    void SetUp() override {
        flight_ = dir_.file("flight");
        home_ = dir_.file("home");
        fs::create_directories(home_);
        const auto r = runProcess({testsupport::kSampleFlightPath, flight_.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(r.out, (flight_ / "frames.json").string() + "\n");
    }

    testsupport::MapperRun mapFlight(const std::string& program) {
        return testsupport::runMapper(program, exampleTask(home_, flight_), "", 120.0);
    }

    testsupport::TempDir dir_{"sample-flight-test"};
    fs::path flight_, home_;
};

}  // namespace

TEST(SampleFlightProgram, BadCommandLinesOrFolders) {
    testsupport::TempDir dir("sample-flight-test");
    const fs::path plain = dir.write("plain", "x");
    struct Case {
        std::vector<std::string> args;
        std::string errPrefix;
    };
    const std::vector<Case> cases = {
        {{testsupport::kSampleFlightPath}, "usage: sample_flight FOLDER"},
        {{testsupport::kSampleFlightPath, ""}, "usage: sample_flight FOLDER"},
        {{testsupport::kSampleFlightPath, "a", "b"}, "usage: sample_flight FOLDER"},
        {{testsupport::kSampleFlightPath, plain.string()}, "sample_flight: "},
        {{testsupport::kSampleFlightPath, (plain / "below").string()}, "sample_flight: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "(none)");
        const auto r = runProcess(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.errPrefix, 0), 0u) << r.err;
        EXPECT_EQ(splitLines(r.err).size(), 1u) << r.err;
    }
    EXPECT_EQ(readFile(plain), "x");
}

TEST_F(SampleFlightRun, SixJpegFramesAlongALineWithTheirRecords) {
    const json records = json::parse(readFile(flight_ / "frames.json"));
    ASSERT_TRUE(records.is_array());
    ASSERT_EQ(records.size(), 6u);
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        const json& r = records[i];
        const fs::path image = r.at("uri").get<std::string>();
        EXPECT_EQ(image.parent_path(), flight_);
        EXPECT_EQ(image.extension(), ".jpg");
        const std::string bytes = readFile(image);
        ASSERT_GE(bytes.size(), 3u);
        EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");  // a JPEG stream
        const cv::Mat pixels = cv::imread(image.string(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(pixels.empty());
        EXPECT_EQ(pixels.cols, 640);
        EXPECT_EQ(pixels.rows, 480);
        EXPECT_EQ(pixels.type(), CV_8UC3);
        cv::Scalar mean, deviation;
        cv::meanStdDev(pixels, mean, deviation);
        EXPECT_GT(deviation[0], 10.0) << "textured";
        const json& c = r.at("calibration");
        EXPECT_EQ(c.at("width").get<double>(), 640.0);
        EXPECT_EQ(c.at("height").get<double>(), 480.0);
        EXPECT_EQ(r.at("attitude").at("pitch").get<double>(), -90.0);
        EXPECT_EQ(r.at("gps").at("altitude").get<double>(), 60.0);
        EXPECT_EQ(r.at("gps").at("latitude").get<double>(), 22.5);
        if (i > 0) {
            const json& p = records[i - 1];
            EXPECT_GT(r.at("timestamp").get<double>(), p.at("timestamp").get<double>());
            // 12 m further east
            const double metres = (r["gps"]["longitude"].get<double>() - p["gps"]["longitude"].get<double>()) *
                                  6378137.0 * std::cos(22.5 * M_PI / 180.0) * M_PI / 180.0;
            EXPECT_NEAR(metres, 12.0, 1e-6);
        }
    }
}

TEST_F(SampleFlightRun, RunsAgainIntoTheSameFolder) {
    const std::string before = readFile(flight_ / "frame_03.jpg");
    const auto r = runProcess({testsupport::kSampleFlightPath, flight_.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(flight_ / "frame_03.jpg"), before);
    EXPECT_EQ(json::parse(readFile(flight_ / "frames.json")).size(), 6u);
}

// With a stand-in back end the example task runs to its end: every frame is
// located and handed on.
TEST_F(SampleFlightRun, ExampleTaskWithAStandInBackEndIsMapped) {
    const auto r = mapFlight(testsupport::kZelMapperTestBackEndPath);
    EXPECT_FALSE(r.process.timedOut);
    EXPECT_EQ(r.process.exitCode, 0) << r.process.err;
    const testsupport::MapperLines& lines = r.lines;
    EXPECT_TRUE(lines.errors.empty()) << r.process.err;
    ASSERT_FALSE(lines.status.empty()) << r.process.err;
    EXPECT_EQ(lines.status.back()["state"], 12);
    EXPECT_NEAR(lines.status.back()["progress"]["total"].get<double>(), 1.0, 1e-6);
    EXPECT_EQ(logLines(home_, "EFW"), std::vector<std::string>{});
}
