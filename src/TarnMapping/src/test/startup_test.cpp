// The start-up in-process: every error code and text, the echo lines and
// the job configuration.
#include "tarn/startup.h"

#include "zel_text/exit_with_error.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using nlohmann::json;
using testsupport::base64Encode;
using testsupport::splitLines;

namespace {

const std::string kProgram = "/opt/zel/zel_mapper";

// What the start-up wrote and returned; err holds the error line main would write.
struct Startup {
    bool ok = false;
    json job;
    std::string out;
    std::string err;
};

Startup runStartup(const std::vector<std::string>& argv) {
    std::ostringstream echo;
    Startup s;
    tarn::StartupError error;
    s.ok = tarn::buildJobConfig(argv, echo, s.job, error);
    s.out = echo.str();
    if (!s.ok) s.err = zel::text::compactJson(error.errorLine()) + "\n";
    return s;
}

Startup runWithTask(const std::string& taskText) { return runStartup({kProgram, "--task", base64Encode(taskText)}); }

// The line that starts with prefix, without the prefix.
std::string lineAfter(const std::string& out, const std::string& prefix, int occurrence = 0) {
    for (const auto& line : splitLines(out))
        if (line.rfind(prefix, 0) == 0 && occurrence-- == 0) {
            return line.substr(prefix.size());
        }
    return "<missing " + prefix + ">";
}

json finishedConfig(const Startup& r) {
    const json job = json::parse(lineAfter(r.out, "Finished chain config: "));
    EXPECT_EQ(job, r.job);  // the echo is the configuration returned
    return job;
}

}  // namespace

TEST(StartupErrors, EveryCodeAndItsTexts) {
    struct Case {
        std::vector<std::string> args;
        std::string lastOut;
        std::string err;
    };
    const std::string usage = "Usage: " + kProgram + " --task <task> --config <config>";
    const std::string okTask = R"({"home":"/tmp/h","dataset":{}})";
    const std::vector<Case> cases = {
        {{}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        {{"--other", "x"}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        // options are only read at odd positions
        {{"x", "--task", base64Encode(okTask), "y"}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        // an option without a value
        {{"--task"}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        {{"--task", base64Encode(okTask), "--config"}, usage, R"({"code":-1,"message":"Invalid arguments"})"},
        {{"--task", R"({"home":"/tmp"})"}, "Invalid task", R"({"code":-2,"message":"Invalid task string"})"},
        {{"--config", base64Encode("{}")}, "Invalid task", R"({"code":-2,"message":"Invalid task string"})"},
        {{"--task", base64Encode(okTask), "--config", "="}, "Invalid config",
         R"({"code":-3,"message":"Invalid config string"})"},
        {{"--task", base64Encode("{not json")}, "Invalid task or config format",
         R"({"code":-4,"message":"Invalid task or config format"})"},
        {{"--task", base64Encode(okTask), "--config", base64Encode("[1,")}, "Invalid task or config format",
         R"({"code":-4,"message":"Invalid task or config format"})"},
        {{"--task", base64Encode(R"({"dataset":{}})")}, "No home", R"({"code":-5,"message":"No home"})"},
        {{"--task", base64Encode(R"({"home":5,"dataset":{}})")}, "No home", R"({"code":-5,"message":"No home"})"},
        {{"--task", base64Encode(R"([1,2])")}, "No home", R"({"code":-5,"message":"No home"})"},
        {{"--task", base64Encode(R"({"home":"/h"})")}, "No dataset", R"({"code":-6,"message":"No dataset"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":[]})")}, "No dataset",
         R"({"code":-6,"message":"No dataset"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"locate":{"method":"orb"}})")},
         R"(locate: {"method":"orb"})", R"({"code":-7,"message":"Unsupported locate methodorb"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"locate":{"method":7}})")},
         R"(locate: {"method":7})", R"({"code":-7,"message":"Unsupported locate method"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"locate":{}})")}, R"(locate: {})",
         R"({"code":-7,"message":"Unsupported locate method"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"dense":{"method":"mvs"}})")}, "",
         R"({"code":-8,"message":"Unsupported dense methodmvs"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"dense":{"method":null}})")}, "",
         R"({"code":-8,"message":"Unsupported dense method"})"},
        {{"--task", base64Encode(R"({"home":"/h","dataset":{},"dense":{"method":["a"]}})")}, "",
         R"({"code":-8,"message":"Unsupported dense method"})"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = runStartup(argv);
        SCOPED_TRACE(c.err);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, c.err + "\n");
        const auto lines = splitLines(r.out);
        ASSERT_FALSE(lines.empty());
        if (!c.lastOut.empty()) {
            EXPECT_EQ(lines.back(), c.lastOut);
        }
        EXPECT_EQ(r.out.find("Finished chain config"), std::string::npos);
    }
}

TEST(StartupEcho, LinesInOrder) {
    const std::string task = R"({"home":"/data/job","dataset":{"live":false,"uri":"f.json"},"model3d":[1]})";
    const auto r = runStartup({kProgram, "--task", base64Encode(task), "--config", base64Encode(R"({"x":1})")});
    ASSERT_TRUE(r.ok);
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

TEST(StartupConfig, DefaultsGiveTheWholeJobConfiguration) {
    const auto r = runWithTask(R"({"home":"/data/job","dataset":{"live":true,"form":"json"}})");
    ASSERT_TRUE(r.ok) << r.err;
    const json expectedDom = json::parse(R"({"method":"legacy_tf","scale":4.0,"max_zoom_level":26,
        "tiling":{"scheme":1,"tile_size":[256,256],"tile_format":"png","storage":1,"location":"/data/job/dom"}})");
    const json expectedDsm = json::parse(R"({"method":"legacy_tf","scale":4.0,
        "tiling":{"scheme":1,"tile_size":[64,64],"tile_format":"tif","storage":1,"location":"/data/job/dsm"}})");
    json expected = json::parse(R"({
      "home":"/data/job",
      "verbose":{"level":"debug","file":true,"console":false},
      "dataset":{"live":true,"form":"json"},
      "chain":[
        {"name":"legacy_sfm","type":"front_end","config":{"work_dir":"/data/job/.cache/sfm","method":"legacy_sfm",
          "specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL","pre_process":1}}},
        {"name":"legacy_pf","type":"back_end","config":{"work_dir":"/data/job/.cache/pf","method":"legacy_pf",
          "scale":4.0,"tiling":{"format":"pnts","location":"/data/job/dense"},
          "specific":{"pointsfusion.dense_method":3},
          "legacy_tf":{"specific":{"terrainfusion.max_zoom":26,"terrainfusion.cache_size":4096,
             "terrainfusion.coordinate":"GPS","terrainfusion.render_mode":3},
             "work_dir":"/data/job/.cache/tf"}}}]})");
    expected["chain"][1]["config"]["legacy_tf"]["dom"] = expectedDom;
    expected["chain"][1]["config"]["legacy_tf"]["dsm"] = expectedDsm;
    EXPECT_EQ(finishedConfig(r), expected);
    // Numbers keep their kinds: "scale" is a double, the rest integers.
    EXPECT_NE(lineAfter(r.out, "Finished chain config: ").find(R"("scale":4.0)"), std::string::npos);
    EXPECT_EQ(lineAfter(r.out, "dense: "), finishedConfig(r)["chain"][1].dump());
}

TEST(StartupConfig, UserSectionsMergeOverPresetsAndFixedTilingWins) {
    const auto r = runWithTask(R"({"home":"/h","dataset":{},
        "locate":{"method":"legacy_sfm","work_dir":"/mine","specific":{"pre_process":null,"extra":2}},
        "dense":{"tiling":null,"specific":{"pointsfusion.dense_method":1},"scale":2.0},
        "dom":{"scale":2.0,"tiling":{"storage":3,"location":"/tiles/dom","tile_size":[512,512]},"specific":{"k":1}},
        "dsm":{"method":"other","tiling":"none"}})");
    ASSERT_TRUE(r.ok) << r.err;
    const json job = finishedConfig(r);
    const json& front = job["chain"][0]["config"];
    EXPECT_EQ(front["work_dir"], "/mine");
    EXPECT_EQ(front["specific"], json::parse(R"({"globalsfm.intrinsic_refinement":"ADJUST_ALL","extra":2})"));

    const json& back = job["chain"][1]["config"];
    EXPECT_FALSE(back.contains("tiling"));  // null removed the preset's tiling: no location either
    EXPECT_EQ(back["specific"]["pointsfusion.dense_method"], 1);
    EXPECT_EQ(back["scale"], 2.0);

    const json& dom = back["legacy_tf"]["dom"];
    EXPECT_EQ(dom["scale"], 4.0);
    EXPECT_EQ(dom["tiling"]["storage"], 1);
    EXPECT_EQ(dom["tiling"]["tile_size"], json::parse("[256,256]"));
    EXPECT_EQ(dom["tiling"]["location"], "/tiles/dom");
    EXPECT_EQ(dom["specific"], json::parse(R"({"k":1})"));

    const json& dsm = back["legacy_tf"]["dsm"];
    EXPECT_EQ(dsm["method"], "legacy_tf");
    EXPECT_EQ(dsm["tiling"], json::parse(R"({"scheme":1,"tile_size":[64,64],"tile_format":"tif","storage":1,"location":"/h/dsm"})"));
}

TEST(StartupConfig, MethodVariants) {
    {
        const auto r = runWithTask(R"({"home":"/h","dataset":{},"locate":{"method":"zel_slam3"},"dense":{"method":"zel_pixfuse"}})");
        ASSERT_TRUE(r.ok) << r.err;
        const json job = finishedConfig(r);
        EXPECT_EQ(job["chain"][0]["name"], "zel_slam3");
        EXPECT_EQ(job["chain"][0]["config"]["work_dir"], "/h/.cache/slam");
        EXPECT_EQ(job["chain"][0]["config"]["vocabulary_path"], "./libs/orbslam3/ORBvoc.bin");
        EXPECT_EQ(job["chain"][0]["config"]["system_parameters"]["feature_type"], "SIFT");
        EXPECT_EQ(job["chain"][1]["name"], "zel_pixfuse");
        const json& cfg = job["chain"][1]["config"];
        EXPECT_EQ(cfg["work_dir"], "/h/.cache/pixfuse");
        EXPECT_EQ(cfg["specific"]["terrainfusion.render_mode"], 2);
        EXPECT_EQ(cfg["specific"]["dense"]["bReconForGround"], false);
        EXPECT_EQ(cfg["specific"]["pointsfusion.dense_method"], 3);  // from the dense section
        EXPECT_EQ(cfg["legacy_tf"]["specific"]["terrainfusion.render_mode"], 2);
    }
    {
        // A locate section that is no object gets the default.
        const auto r = runWithTask(R"({"home":"rel","dataset":{},"locate":"x","dom":5})");
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(lineAfter(r.out, "locate: "), R"({"method":"legacy_sfm"})");
        const json job = finishedConfig(r);
        EXPECT_EQ(job["chain"][0]["config"]["work_dir"], "rel/.cache/sfm");
        EXPECT_EQ(job["chain"][1]["config"]["legacy_tf"]["dom"]["tiling"]["location"], "rel/dom");
    }
}
