// The main loop against a scripted job: status lines only on change, command
// dispatch and the -9 lines, the end of input.
#include "tarn/main_loop.h"
#include "zel/tileset.h"

#include "testsupport/run_process.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

using nlohmann::json;
using tarn::CommandQueue;
using tarn::runMainLoop;

namespace {

// Moves through its states, one per update call; the last one stays.
class ScriptedJob : public TarnMapper {
public:
    explicit ScriptedJob(std::vector<int> states) : states_(std::move(states)) {}
    void start() override {}
    bool update(MapperStatus& status) override {
        const auto state = static_cast<zel::JobState>(states_[std::min(calls_++, states_.size() - 1)]);
        bool changed = false;
        if (state != status.state) {
            status.state = state;
            changed = true;
        }
        if (progressAt_ == calls_) {
            status.progress.value = 0.5;
            status.progress.time = 1.0;
            auto dom = std::make_shared<TfTileset>("dom");
            dom->name = "dom_01";
            status.outputs.push_back(dom);
            status.outputs.push_back(std::make_shared<zel::OutputItem>());  // has no JSON form
            changed = true;
        }
        return changed;
    }
    bool feedFrame(const std::string& text, std::string&) override {
        fed.push_back(text);
        if (text == "bad") throw std::runtime_error("boom");
        return true;
    }

    std::vector<std::string> fed;
    size_t progressAt_ = 0;

private:
    std::vector<int> states_;
    size_t calls_ = 0;
};

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> lines;
    for (const auto& l : testsupport::splitLines(text)) lines.push_back(json::parse(l));
    return lines;
}

}  // namespace

TEST(MainLoop, FailedJobGivesOneLineAndEnds) {
    ScriptedJob job({-14});
    CommandQueue queue;
    queue.lines.emplace_back(R"({"frame":"never"})");
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    EXPECT_EQ(err.str(), "{\"output\":[],\"progress\":{\"total\":-1.0},\"state\":-14}\n");
    EXPECT_TRUE(job.fed.empty());  // queued commands are not run after the end
}

TEST(MainLoop, LinesOnlyWhenSomethingChanged) {
    ScriptedJob job({100, 100, 4, 4, 4, 4, 12});
    job.progressAt_ = 4;
    CommandQueue queue;
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    const auto lines = jsonLines(err.str());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["state"], 100);
    EXPECT_EQ(lines[1]["state"], 4);
    EXPECT_EQ(lines[2]["state"], 4);
    EXPECT_EQ(lines[2]["progress"]["total"], 0.5);
    ASSERT_EQ(lines[2]["output"].size(), 1u);
    EXPECT_EQ(lines[2]["output"][0]["id"], "dom_01");
    EXPECT_EQ(lines[3]["state"], 12);
}

TEST(MainLoop, CommandsAndTheirErrorLines) {
    ScriptedJob job({4, 4, 12});
    CommandQueue queue;
    for (const char* line : {"", "not json", R"({"frame":"a"})", R"({"control":"pause"})", R"({"other":1})", "[1,2]",
                             R"({"frame":5,"control":"x"})", R"({"frame":"bad"})", R"({"frame":""})"})
        queue.lines.emplace_back(line);
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    const auto lines = jsonLines(err.str());
    std::vector<json> errors;
    for (const auto& l : lines)
        if (l.contains("code")) errors.push_back(l);
    ASSERT_EQ(errors.size(), 3u);
    for (const auto& e : errors) EXPECT_EQ(e["code"], -9);
    const std::string empty = errors[0]["message"];
    EXPECT_EQ(empty.rfind("Exception for command:  (", 0), 0u) << empty;
    EXPECT_NE(empty.find("parse error"), std::string::npos);
    EXPECT_EQ(empty.back(), ')');
    EXPECT_EQ(errors[1]["message"].get<std::string>().rfind("Exception for command: not json (", 0), 0u);
    EXPECT_EQ(errors[2]["message"], "Exception for command: {\"frame\":\"bad\"} (boom)");
    EXPECT_EQ(job.fed, (std::vector<std::string>{"a", "bad", ""}));
    // the error lines come between the first and the last status line
    EXPECT_TRUE(lines.front().contains("state"));
    EXPECT_EQ(lines.back()["state"], 12);
}

TEST(MainLoop, EndOfInputEndsTheStreamOnceAfterQueuedLines) {
    ScriptedJob job({4, 4, 4, 4, 13});
    CommandQueue queue;
    queue.lines.emplace_back(R"({"frame":"last"})");
    queue.ended = true;
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    EXPECT_EQ(job.fed, (std::vector<std::string>{"last", ""}));
}

TEST(MainLoop, InvalidUtf8InABadLineStillGivesOneLine) {
    ScriptedJob job({4, 12});
    CommandQueue queue;
    queue.lines.emplace_back("\xff\xfe{");
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    const auto lines = testsupport::splitLines(err.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(json::parse(lines[1])["code"], -9);
}

TEST(MainLoop, RefusedLongLineGivesItsOwnMinus9Line) {
    ScriptedJob job({4, 12});
    CommandQueue queue;
    queue.lines.emplace_back(std::string(200, 'a'), "line longer than 16777216 bytes");
    queue.lines.emplace_back(R"({"frame":"next"})");
    std::ostringstream err;
    runMainLoop(job, queue, err, std::chrono::milliseconds(1));
    const auto lines = jsonLines(err.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], json({{"code", -9},
                              {"message", "Exception for command: " + std::string(200, 'a') +
                                              "... (line longer than 16777216 bytes)"}}));
    EXPECT_EQ(job.fed, (std::vector<std::string>{"next"}));  // the refused line is never dispatched
}
