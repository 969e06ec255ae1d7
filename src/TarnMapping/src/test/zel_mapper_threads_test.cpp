// zel_mapper as a host runs it: datasets that cannot be mapped, the home
// folder, the log file, a live stream with bad lines, image_meta's line as a
// live frame, a missing image.
#include "frame_records.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/temp_dir.h"
#include "testsupport/run_process.h"
#include "testsupport/xmp_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
using testsupport::base64Encode;
using testsupport::runMapper;
using testsupport::runProcess;
using testsupport::splitLines;
namespace fs = std::filesystem;

namespace {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("zel-mapper-test") {}
};

const std::string kProgram = testsupport::kZelMapperPath;
// The same program with a stand-in dense back end, so that a job can finish.
const std::string kProgramWithBackEnd = testsupport::kZelMapperTestBackEndPath;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Records whose image is written unless writeImage is false.
json frameRecord(const TempDir& dir, int i, bool writeImage = true) {
    return mappertest::frameRecord(dir, i, writeImage ? "" : dir.file("img" + std::to_string(i) + ".png"));
}

std::string writeDataset(const TempDir& dir, const std::string& text) {
    static int count = 0;
    const std::string path = dir.file("frames" + std::to_string(count++) + ".json");
    std::ofstream(path) << text;
    return path;
}

// The text of a task.
std::string task(const std::string& home, const json& dataset) {
    return json{{"home", home}, {"dataset", dataset}}.dump();
}

// The time limit of one run.
constexpr double kLimit = 120.0;

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

}  // namespace

TEST(ZelMapperDatasets, UnmappableDatasetsEndInMinus14) {
    TempDir dir;
    json five = json::array();
    for (int i = 0; i < 5; ++i) five.push_back(frameRecord(dir, i, false));
    struct Case {
        json dataset;
        std::vector<std::string> errors;
    };
    const std::string missing = dir.file("missing.json");
    const std::vector<Case> cases = {
        {{{"form", "zel_frame"}, {"uri", writeDataset(dir, "[]")}}, {"Insufficient frames for mapping: 0"}},
        {{{"form", "zel_frame"}, {"uri", missing}}, {"Failed to open " + missing, "Insufficient frames for mapping: 0"}},
        {{{"form", "zel_frame"}, {"uri", writeDataset(dir, five.dump())}}, {"Insufficient frames for mapping: 5"}},
        {{{"form", "zel_frame"}, {"uri", writeDataset(dir, "null")}}, {"Insufficient frames for mapping: 0"}},
        {{{"form", "zel_frame"}, {"uri", writeDataset(dir, "[{")}}, {"Failed to create dataset."}},
        {{{"form", "json"}, {"uri", writeDataset(dir, "[]")}}, {"Failed to create dataset."}},
        {{{"live", false}}, {"Failed to create dataset."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataset.dump());
        const auto r = runMapper(kProgram, task(dir.path(), c.dataset), "", kLimit);
        EXPECT_EQ(r.process.exitCode, 0);
        const testsupport::MapperLines& lines = r.lines;
        ASSERT_EQ(lines.status.size(), 1u) << r.process.err;
        EXPECT_EQ(lines.status[0].dump(), R"({"output":[],"progress":{"total":-1.0},"state":-14})");
        EXPECT_TRUE(lines.errors.empty());
        for (const auto& e : c.errors) {
            EXPECT_TRUE(hasLine(lines.text, e)) << e << "\n" << r.process.err;
            EXPECT_NE(readFile(dir.file("log.txt")).find(e), std::string::npos) << e;
        }
    }
}

TEST(ZelMapperHome, MissingOrPlainFileHome) {
    TempDir dir;
    const std::string plain = dir.file("plain");
    std::ofstream(plain) << "x";
    for (const std::string& home : {dir.file("nowhere"), plain}) {
        SCOPED_TRACE(home);
        const auto r = runMapper(kProgram, task(home, {{"form", "zel_frame"}, {"uri", "x"}}), "", kLimit);
        EXPECT_EQ(r.process.exitCode, 0);
        const testsupport::MapperLines& lines = r.lines;
        ASSERT_EQ(lines.status.size(), 1u);
        EXPECT_EQ(lines.status[0]["state"], -14);
        EXPECT_TRUE(hasLine(lines.text, "Invalid home folder of task: " + home)) << r.process.err;
    }
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
}

TEST(ZelMapperLog, LogFileLinesArePrefixed) {
    TempDir dir;
    std::ofstream(dir.file("log.txt")) << "left from before\n";
    runMapper(kProgram, task(dir.path(), {{"form", "zel_frame"}, {"uri", dir.file("missing.json")}}), "", kLimit);
    auto lines = splitLines(readFile(dir.file("log.txt")));
    // severity letter, month and day, time, thread id, then the text
    const std::regex prefix(R"(^([IWEF])(\d{2})(\d{2}) (\d{2}):(\d{2}):(\d{2}) +\d+\] (.*)$)");
    // The earlier log was set aside, not truncated.
    const std::string setAside = "The previous run's products were set aside in " + dir.file("previous_runs/");
    ASSERT_FALSE(lines.empty());
    std::smatch first;
    ASSERT_TRUE(std::regex_match(lines[0], first, prefix)) << lines[0];
    ASSERT_EQ(first[7].str().rfind(setAside, 0), 0u) << lines[0];
    const std::string folder = first[7].str().substr(0, first[7].str().rfind(": log.txt")).substr(46);
    EXPECT_EQ(readFile(folder + "/log.txt"), "left from before\n");
    lines.erase(lines.begin());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"E", "Failed to open " + dir.file("missing.json")},
        {"E", "Insufficient frames for mapping: 0"},
        {"I", "TarnMapperImpl instance destroyed."},
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, prefix)) << lines[i];
        EXPECT_EQ(m[1].str(), expected[i].first);
        EXPECT_EQ(m[7].str(), expected[i].second);
        EXPECT_GE(std::stoi(m[2].str()), 1);
        EXPECT_LE(std::stoi(m[2].str()), 12);
        EXPECT_LE(std::stoi(m[4].str()), 23);
    }
}

TEST(ZelMapperLive, BadLinesGiveMinus9InOrderAndTheJobEnds) {
    TempDir dir;
    std::string input;
    auto frameLine = [&](int i) { return mappertest::frameLine(frameRecord(dir, i)); };
    input += frameLine(0);
    input += "not json\n";
    input += frameLine(1);
    input += "\n";
    input += R"({"frame":"{\"uri\":"})" "\n";
    input += R"({"control":"pause"})" "\n";
    input += R"({"something":"else"})" "\n";
    input += frameLine(2);
    input += R"({"frame":""})" "\n";
    const auto r =
        runMapper(kProgramWithBackEnd, task(dir.path(), {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 3}}),
                  input, kLimit);
    EXPECT_FALSE(r.process.timedOut);
    EXPECT_EQ(r.process.exitCode, 0);
    const testsupport::MapperLines& lines = r.lines;
    ASSERT_EQ(lines.errors.size(), 3u) << r.process.err;
    for (const auto& e : lines.errors) EXPECT_EQ(e["code"], -9);
    const std::vector<std::string> prefixes = {"Exception for command: not json (", "Exception for command:  (",
                                               "Exception for command: {\"frame\":\"{\\\"uri\\\":\"} ("};
    for (size_t i = 0; i < prefixes.size(); ++i) {
        const std::string message = lines.errors[i]["message"];
        EXPECT_EQ(message.rfind(prefixes[i], 0), 0u) << message;
        EXPECT_EQ(message.back(), ')');
    }
    ASSERT_FALSE(lines.status.empty());
    EXPECT_EQ(lines.status.back()["state"], 12);
    const int first = lines.status.front()["state"];
    EXPECT_TRUE(first == 100 || first == 4) << first;  // the run thread may already have started
    for (size_t i = 1; i < lines.status.size(); ++i) EXPECT_NE(lines.status[i], lines.status[i - 1]) << "repeated line";
    // the stand-in back end's tile set has been finished
    const json& output = lines.status.back()["output"];
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0]["id"], "dom_01");
    EXPECT_EQ(output[0]["state"], 12);
    EXPECT_NE(readFile(dir.file("log.txt")).find("Task processed in "), std::string::npos);
}

TEST(ZelMapperLive, EndOfInputEndsTheStream) {
    TempDir dir;
    const std::string input = mappertest::frameLine(frameRecord(dir, 0));
    const auto r =
        runMapper(kProgramWithBackEnd, task(dir.path(), {{"live", true}, {"form", "zel_frame"}}), input, kLimit);
    EXPECT_FALSE(r.process.timedOut);
    const testsupport::MapperLines& lines = r.lines;
    ASSERT_FALSE(lines.status.empty());
    EXPECT_EQ(lines.status.back()["state"], 12);
}

// The host carries image_meta's line for a photograph, unchanged, to a live
// job: the frame is read, located and handed to the back end.
TEST(ZelMapperLive, ImageMetaLineIsALiveFrame) {
    ASSERT_STRNE(testsupport::kExiftoolPath, "") << "exiftool is needed (scripts/setup.sh installs it)";
    TempDir dir;
    const std::string photo = dir.file("DJI_0001.JPG");
    cv::Mat pixels(120, 160, CV_8UC3);
    cv::RNG(5).fill(pixels, cv::RNG::UNIFORM, 0, 256);
    ASSERT_TRUE(cv::imwrite(photo, pixels));
    const std::string xmp = dir.write("dji.xmp", testsupport::djiXmpPacket());
    const auto tagged =
        runProcess({testsupport::kExiftoolPath, "-q", "-overwrite_original", "-ExifByteOrder=Little-endian",
                    "-Make=DJI", "-Model=FC6310", "-ExifIFD:ExifImageWidth=160", "-ExifIFD:ExifImageHeight=120",
                    "-ModifyDate=2024:12:08 09:10:11", "-xmp<=" + xmp, photo});
    ASSERT_EQ(tagged.exitCode, 0) << tagged.err;

    const auto meta = runProcess({testsupport::kImageMetaPath, base64Encode(photo)}, readFile(photo));
    ASSERT_EQ(meta.exitCode, 0) << meta.err;
    const auto printed = splitLines(meta.out);
    ASSERT_EQ(printed.size(), 1u) << meta.out;
    // What the job needs to locate the frame is in the record.
    const json record = json::parse(json::parse(printed[0])["frame"].get<std::string>());
    for (const char* key : {"uri", "gps", "attitude", "calibration"}) EXPECT_TRUE(record.contains(key)) << key;

    const std::string input = printed[0] + "\n" + R"({"frame":""})" + "\n";
    const auto r =
        runMapper(kProgramWithBackEnd, task(dir.path(), {{"live", true}, {"form", "zel_frame"}}), input, kLimit);
    EXPECT_FALSE(r.process.timedOut);
    EXPECT_EQ(r.process.exitCode, 0) << r.process.err;
    const testsupport::MapperLines& lines = r.lines;
    EXPECT_TRUE(lines.errors.empty()) << r.process.err;
    ASSERT_FALSE(lines.status.empty()) << r.process.err;
    const json& last = lines.status.back();
    EXPECT_EQ(last["state"], 12);
    // "Locate" (0.7) and the stand-in's "Map Fusion" (0.3) are both complete:
    // the frame was tracked, located and fed to the back end.
    EXPECT_NEAR(last["progress"]["total"].get<double>(), 1.0, 1e-6) << r.process.err;
    ASSERT_EQ(last["output"].size(), 1u);
    EXPECT_EQ(last["output"][0]["id"], "dom_01");
    // Nothing went wrong on the way: no refused record, no unreadable image,
    // no frame left out. A lone frame has no neighbour to match: it keeps
    // its recorded pose, and says so.
    for (const auto& line : splitLines(readFile(dir.file("log.txt"))))
        EXPECT_TRUE(line[0] == 'I' ||
                    line.find("Frame 0 could not be matched with its neighbours: it keeps its recorded pose.") !=
                        std::string::npos)
            << line;
}

TEST(ZelMapperFile, MissingImageDoesNotHang) {
    TempDir dir;
    json records = json::array();
    for (int i = 0; i < 7; ++i) records.push_back(frameRecord(dir, i, i != 3));
    const auto r =
        runMapper(kProgramWithBackEnd,
                  task(dir.path(), {{"form", "zel_frame"}, {"uri", writeDataset(dir, records.dump())}}), "", kLimit);
    EXPECT_FALSE(r.process.timedOut);
    EXPECT_EQ(r.process.exitCode, 0);
    const testsupport::MapperLines& lines = r.lines;
    ASSERT_FALSE(lines.status.empty());
    EXPECT_EQ(lines.status.back()["state"], 12);
    EXPECT_TRUE(hasLine(lines.text, "Failed to open " + dir.file("img3.png"))) << r.process.err;
    // every frame was tracked, so the "Locate" stage is complete
    EXPECT_GE(lines.status.back()["progress"]["total"].get<double>(), 0.7 - 1e-6);
}
