// Hostile inputs, as a new user might try them, against the built zel_mapper:
// each case checks the exit status, the last status line, the ERROR texts
// and the -9 lines.
#include "frame_records.h"
#include "testsupport/files.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

using nlohmann::json;

namespace {

// zel_mapper with a stand-in dense back end, so that a job can finish.
const std::string kProgram = testsupport::kZelMapperTestBackEndPath;

using mappertest::frameLine;
using mappertest::frameRecord;

struct Case {
    std::string name;
    // Writes what the case needs into the folder; gives the dataset and the input.
    std::function<void(const testsupport::TempDir&, json& dataset, std::string& input)> make;
    int lastState;
    std::vector<std::string> errors;    // ERROR texts, the folder's path written as {dir}
    std::vector<std::string> minus9;    // -9 messages in order
    bool exactlyComplete = false;       // the last progress total is exactly 1.0
};

std::string expand(std::string text, const std::string& dir) {
    const std::string key = "{dir}";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + dir.size()))
        text.replace(at, key.size(), dir);
    return text;
}

std::string writeDataset(const testsupport::TempDir& dir, const json& records) {
    return dir.write("frames.json", records.dump());
}

}  // namespace

TEST(ZelMapperHostileInput, Table) {
    const std::string longHead = R"({"frame":")" + std::string(200 - 10, 'x');
    const std::vector<Case> cases = {
        {"image paths that are a folder, the zero device and a FIFO",
         [](const testsupport::TempDir& dir, json& dataset, std::string&) {
             std::filesystem::create_directory(dir.file("folder.png"));
             ASSERT_EQ(::mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
             json records = json::array();
             for (int i = 0; i < 7; ++i) records.push_back(frameRecord(dir, i));
             records[1] = frameRecord(dir, 1, dir.file("folder.png"));
             records[2] = frameRecord(dir, 2, "/dev/zero");
             records[3] = frameRecord(dir, 3, dir.file("fifo.png"));
             dataset = {{"form", "zel_frame"}, {"uri", writeDataset(dir, records)}};
         },
         12,
         {"Failed to open {dir}/folder.png", "Failed to open /dev/zero", "Failed to open {dir}/fifo.png"},
         {}},
        {"no image can be loaded",
         [](const testsupport::TempDir& dir, json& dataset, std::string&) {
             json records = json::array();
             for (int i = 0; i < 6; ++i) records.push_back(frameRecord(dir, i, dir.file("gone" + std::to_string(i) + ".png")));
             records[0] = frameRecord(dir, 0, "/dev/zero");
             dataset = {{"form", "zel_frame"}, {"uri", writeDataset(dir, records)}};
         },
         -14,
         {"Failed to open /dev/zero", "Failed to open {dir}/gone5.png", "No frame could be loaded or located."},
         {}},
        {"a live job whose only frame has no image",
         [](const testsupport::TempDir& dir, json& dataset, std::string& input) {
             dataset = {{"live", true}, {"form", "zel_frame"}};
             input = frameLine(frameRecord(dir, 0, dir.file("gone.png"))) + R"({"frame":""})" + "\n";
         },
         -14,
         {"Failed to open {dir}/gone.png", "No frame could be loaded or located."},
         {}},
        {"a dataset file that is a folder",
         [](const testsupport::TempDir& dir, json& dataset, std::string&) {
             std::filesystem::create_directory(dir.file("frames.json"));
             dataset = {{"form", "zel_frame"}, {"uri", dir.file("frames.json")}};
         },
         -14,
         {"Failed to open {dir}/frames.json", "Insufficient frames for mapping: 0"},
         {}},
        {"a dataset file that is the zero device",
         [](const testsupport::TempDir&, json& dataset, std::string&) {
             dataset = {{"form", "zel_frame"}, {"uri", "/dev/zero"}};
         },
         -14,
         {"Failed to open /dev/zero", "Insufficient frames for mapping: 0"},
         {}},
        {"a dataset file that is a FIFO nobody writes",
         [](const testsupport::TempDir& dir, json& dataset, std::string&) {
             ASSERT_EQ(::mkfifo(dir.file("frames.json").c_str(), 0600), 0);
             dataset = {{"form", "zel_frame"}, {"uri", dir.file("frames.json")}};
         },
         -14,
         {"Failed to open {dir}/frames.json", "Insufficient frames for mapping: 0"},
         {}},
        {"an input line longer than 16 MiB",
         [](const testsupport::TempDir& dir, json& dataset, std::string& input) {
             dataset = {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 1}};
             input = R"({"frame":")" + std::string((size_t{16} << 20) + 100, 'x') + "\"}\n" +
                     frameLine(frameRecord(dir, 0)) + R"({"frame":""})" + "\n";
         },
         12,
         {},
         {"Exception for command: " + longHead + "... (line longer than 16777216 bytes)"},
         true},
        {"a complete run ends at exactly 1.0",
         [](const testsupport::TempDir& dir, json& dataset, std::string&) {
             json records = json::array();
             for (int i = 0; i < 6; ++i) records.push_back(frameRecord(dir, i));
             dataset = {{"form", "zel_frame"}, {"uri", writeDataset(dir, records)}};
         },
         12,
         {},
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir("zel-hostile");
        json dataset;
        std::string input;
        c.make(dir, dataset, input);
        if (::testing::Test::HasFatalFailure()) return;
        const json task = {{"home", dir.path()}, {"dataset", dataset}};
        const auto run = testsupport::runMapper(kProgram, task.dump(), input, 120.0);
        const testsupport::ProcessResult& r = run.process;
        const testsupport::MapperLines& lines = run.lines;
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 4000);
        ASSERT_FALSE(lines.status.empty()) << r.err.substr(0, 4000);
        const json& last = lines.status.back();
        EXPECT_EQ(last["state"], c.lastState) << r.err.substr(0, 4000);
        for (const auto& text : c.errors) {
            const std::string expected = expand(text, dir.path());
            EXPECT_NE(std::find(lines.text.begin(), lines.text.end(), expected), lines.text.end())
                << expected << "\n" << r.err.substr(0, 4000);
        }
        std::vector<std::string> minus9;
        for (const auto& e : lines.errors) {
            EXPECT_EQ(e["code"], -9);
            minus9.push_back(e["message"]);
        }
        EXPECT_EQ(minus9, c.minus9);
        if (c.exactlyComplete) {
            EXPECT_EQ(last["progress"]["total"].get<double>(), 1.0);
            EXPECT_NE(last.dump().find(R"("progress":{"total":1.0})"), std::string::npos) << last.dump();
        }
    }
}

namespace {

// The WARNING texts of the home's log.txt.
std::vector<std::string> warningsOf(const testsupport::TempDir& dir) {
    std::vector<std::string> found;
    for (const std::string& line : testsupport::splitLines(testsupport::readFile(dir.file("log.txt")))) {
        const size_t end = line.find("] ");
        if (!line.empty() && line[0] == 'W' && end != std::string::npos) found.push_back(line.substr(end + 2));
    }
    return found;
}

}  // namespace

// A host that sends long, broken or mistyped lines hears of each in a short
// line and its good frames still map.
TEST(ZelMapperHostileInput, LongAndBadLiveLines) {
    testsupport::TempDir dir("zel-hostile");
    const size_t big = size_t{15} << 20;
    const std::string notJson(big, 'x');
    const std::string openString = "\"" + std::string(big, 'C');
    const std::string bigFrame = json{{"frame", std::string(big, 'C')}}.dump();
    const std::string shortBad = R"({"frame":"{\"uri\":"})";
    auto withCalibration = [&](int i, const char* key, const std::string& value) {
        json record = frameRecord(dir, i);
        std::string text = record.dump();
        const std::string member = "\"" + std::string(key) + "\":";
        const size_t at = text.find(member, text.find("\"calibration\""));
        const size_t end = text.find_first_of(",}", at);
        text.replace(at + member.size(), end - at - member.size(), value);
        return json{{"frame", text}}.dump();
    };
    struct Bad {
        std::string line;
        std::string start;  // of the -9 message
        bool cut;           // the line is shown cut, with "..."
    };
    const std::vector<Bad> bad = {
        {notJson, "Exception for command: " + notJson.substr(0, 200) + "... (", true},
        {openString, "Exception for command: " + openString.substr(0, 200) + "... (", true},
        {bigFrame, "Exception for command: " + bigFrame.substr(0, 200) + "... (", true},
        {shortBad, "Exception for command: " + shortBad + " (", false},
        {withCalibration(90, "width", "-5"), "", false},
        {withCalibration(91, "fx", "0"), "", false},
        {withCalibration(92, "fx", "1e300"), "", false},
        {withCalibration(93, "cx", "1e400"), "", false},
    };
    const std::vector<std::string> badKeys = {"width", "fx", "fx", "cx"};
    std::string input;
    for (const Bad& b : bad) input += b.line + "\n";
    const std::string asObject = json{{"frame", frameRecord(dir, 94)}}.dump();
    const std::vector<std::string> ignored = {asObject, R"({"frame":42})", "[]"};
    for (const std::string& line : ignored) input += line + "\n";
    input += R"({"control":"pause"})" "\n" R"({"other":1})" "\n";
    for (int i = 0; i < 6; ++i) input += frameLine(frameRecord(dir, i));
    input += R"({"frame":""})" "\n";

    const json task = {{"home", dir.path()}, {"dataset", {{"live", true}, {"form", "zel_frame"}}}};
    const auto run = testsupport::runMapper(kProgram, task.dump(), input, 120.0);
    ASSERT_FALSE(run.process.timedOut);
    ASSERT_FALSE(run.lines.status.empty()) << run.head();
    EXPECT_EQ(run.lastState(), 12) << run.head();
    for (const std::string& line : testsupport::splitLines(run.process.err)) EXPECT_LE(line.size(), 4096u);

    ASSERT_EQ(run.lines.errors.size(), bad.size()) << run.head();
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string message = run.lines.errors[i]["message"];
        EXPECT_EQ(run.lines.errors[i]["code"], -9);
        EXPECT_EQ(message.back(), ')');
        if (i < 4) {
            EXPECT_EQ(message.rfind(bad[i].start, 0), 0u) << message.substr(0, 500);
            // the reason is cut like the line: 200 bytes and "..." at most
            const std::string reason = message.substr(bad[i].start.size(), message.size() - bad[i].start.size() - 1);
            EXPECT_LE(reason.size(), 203u) << reason;
            EXPECT_EQ(message.find("...") != std::string::npos, bad[i].cut) << message;
        } else {
            const std::string named = "Failed to load camera calibration: " + badKeys[i - 4] + " ";
            EXPECT_NE(message.find(" (" + named), std::string::npos) << message;
            EXPECT_TRUE(std::any_of(run.lines.text.begin(), run.lines.text.end(),
                                    [&](const std::string& t) { return t.rfind(named, 0) == 0; }))
                << named;
        }
    }
    // The lines that are no frame are ignored, each with one WARNING.
    const std::vector<std::string> warnings = warningsOf(dir);
    const std::vector<std::string> expected = {"Command ignored: \"frame\" is not a string: " + asObject.substr(0, 200) + "...",
                                               "Command ignored: \"frame\" is not a string: {\"frame\":42}",
                                               "Command ignored: the line is not an object: []"};
    for (const std::string& w : expected)
        EXPECT_EQ(std::count(warnings.begin(), warnings.end(), w), 1) << w;
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string& w) { return w.rfind("Command ignored: ", 0) == 0; }),
              3);
}
