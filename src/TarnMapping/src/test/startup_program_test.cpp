// A few start-up cases of the built zel_mapper: the error line on standard
// error, the echo on standard output, exit status 0.
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using testsupport::base64Encode;
using testsupport::runProcess;
using testsupport::splitLines;

namespace {

const std::string kProgram = testsupport::kZelMapperPath;

}  // namespace

TEST(StartupProgram, ErrorLinesOnStandardErrorWithExitZero) {
    struct Case {
        std::vector<std::string> args;
        std::string lastOut;
        std::string err;
    };
    const std::string usage = "Usage: " + kProgram + " --task <task> --config <config>";
    const std::vector<Case> cases = {
        {{}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        {{"--task", base64Encode("{not json")}, "Invalid task or config format",
         R"({"code":-4,"message":"Invalid task or config format"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"locate":{"method":"orb"}})")},
         R"(locate: {"method":"orb"})", R"({"code":-7,"message":"Unsupported locate methodorb"})"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = runProcess(argv);
        SCOPED_TRACE(c.err);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, c.err + "\n");
        const auto lines = splitLines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.lastOut);
    }
}

TEST(StartupProgram, EchoLinesThenTheJob) {
    const std::string task = R"({"home":"/data/job","dataset":{"live":false,"uri":"f.json"},"model3d":[1]})";
    const auto r = runProcess({kProgram, "--task", base64Encode(task), "--config", base64Encode(R"({"x":1})")});
    ASSERT_EQ(r.exitCode, 0);
    // The job then refuses the missing home folder: standard error only.
    EXPECT_EQ(r.err.rfind("Invalid home folder of task: /data/job\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("{\"output\":[],\"progress\":{\"total\":-1.0},\"state\":-14}\n"), std::string::npos);
    const auto lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    EXPECT_EQ(lines[0], "task string: " + task);
    EXPECT_EQ(lines[1], R"(config string: {"x":1})");
    EXPECT_EQ(lines[2], R"({"dataset":{"live":false,"uri":"f.json"},"home":"/data/job","model3d":[1]})");
    EXPECT_EQ(lines[3], R"(locate: {"method":"legacy_sfm"})");
    EXPECT_EQ(lines[4], R"(locate: {"config":{"method":"legacy_sfm","specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL","pre_process":1},"work_dir":"/data/job/.cache/sfm"},"name":"legacy_sfm","type":"front_end"})");
    EXPECT_EQ(lines[5].rfind("dense: ", 0), 0u);
    EXPECT_EQ(lines[6].rfind("Finished chain config: ", 0), 0u);
}

