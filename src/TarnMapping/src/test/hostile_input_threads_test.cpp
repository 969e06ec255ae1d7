// Hostile inputs, as a new user might try them, against the built zel_mapper:
// each case checks the exit status, the last status line, the ERROR texts
// and the -9 lines.
#include "frame_records.h"
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
