// scripts/map_images.sh with a stand-in zel_mapper that keeps its task and
// its standard input: the records it builds from image_meta's lines, live
// and as a dataset file, the calibration added only where none was read,
// and the arguments it refuses, a principal point beyond an image among them.
#include "testsupport/files.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

using nlohmann::json;
using testsupport::readFile;
using testsupport::runProcess;
namespace fs = std::filesystem;

namespace {

std::string base64Decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int bits = 0;
    uint32_t value = 0;
    for (char c : text) {
        const size_t i = alphabet.find(c);
        if (i == std::string::npos) break;
        value = ((value << 6) | uint32_t(i)) & 0xFFFFFFu;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((value >> bits) & 0xff));
        }
    }
    return out;
}

class MapImagesScript : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STRNE(testsupport::kExiftoolPath, "") << "exiftool is needed (scripts/setup.sh installs it)";
        images = dir.file("images");
        fs::create_directories(images);
        // Three frames in name order: b has a calibration of its own (DJI's
        // dewarp data), a and c have none; notes.txt is no image.
        cv::Mat pixels(48, 64, CV_8UC3);
        cv::randu(pixels, 0, 255);
        for (const char* name : {"a_0001.jpg", "b_0002.JPG", "c_0003.jpeg"})
            ASSERT_TRUE(cv::imwrite((images / name).string(), pixels));
        dir.write("images/notes.txt", "not an image");
        const std::string xmp = dir.write(
            "dewarp.xmp",
            "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
            " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
            "  <rdf:Description rdf:about=\"DJI Meta Data\" xmlns:drone-dji=\"http://www.dji.com/drone-dji/1.0/\"\n"
            "    drone-dji:DewarpData=\"2024-12-01;500.00,500.00,1.00,-2.00,0.0,0.0,0.0,0.0,0.0\"/>\n"
            " </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>");
        const auto tagged = runProcess({testsupport::kExiftoolPath, "-q", "-overwrite_original", "-Make=DJI",
                                        "-xmp<=" + xmp, (images / "b_0002.JPG").string()});
        ASSERT_EQ(tagged.exitCode, 0) << tagged.err;

        // The stand-in: keeps its arguments and input, reports the given state.
        mapper = dir.write("zel_mapper",
                           "#!/bin/sh\n"
                           "printf '%s\\n' \"$@\" > \"$KEEP/args.txt\"\n"
                           "cat > \"$KEEP/stdin.txt\"\n"
                           "echo '{\"output\":[],\"progress\":{\"total\":-1.0},\"state\":100}' >&2\n"
                           "echo \"{\\\"output\\\":[],\\\"progress\\\":{\\\"total\\\":1.0},\\\"state\\\":$STATE}\" >&2\n");
        fs::permissions(mapper, fs::perms::owner_all);
    }

    testsupport::ProcessResult run(const std::vector<std::string>& args, const std::string& state = "12") {
        std::vector<std::string> argv{"/usr/bin/env",
                                      "ZEL_MAPPER=" + mapper,
                                      std::string("IMAGE_META=") + testsupport::kImageMetaPath,
                                      "KEEP=" + dir.path(),
                                      "STATE=" + state,
                                      "bash",
                                      testsupport::kMapImagesScriptPath};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv, "", 120.0);
    }

    // The task zel_mapper was given.
    json task() const {
        const std::string args = readFile(dir.file("args.txt"));
        const std::vector<std::string> lines = testsupport::splitLines(args);
        EXPECT_EQ(lines.size(), 2u) << args;
        if (lines.size() != 2 || lines[0] != "--task") return json();
        return json::parse(base64Decode(lines[1]));
    }

    // Three records in name order, with the calibration of the command line
    // (--fx 2310 --cx 32 --cy 24, the size read from the image) where none
    // was read.
    void expectRecords(const std::vector<json>& records) const {
        ASSERT_EQ(records.size(), 3u);
        const char* names[] = {"a_0001.jpg", "b_0002.JPG", "c_0003.jpeg"};
        for (size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(names[i]);
            EXPECT_EQ(records[i]["uri"], (fs::canonical(images) / names[i]).string());
            EXPECT_TRUE(records[i].contains("timestamp"));
            const json& c = records[i]["calibration"];
            if (i == 1) {
                EXPECT_EQ(c["fx"], 500.0) << "its own calibration is kept";
                continue;
            }
            EXPECT_EQ(c, json::parse(R"({"width":64,"height":48,"fx":2310,"fy":2310,"cx":32,"cy":24,
                                         "k1":0,"k2":0,"k3":0,"p1":0,"p2":0})"));
        }
    }

    testsupport::TempDir dir{"map-images"};
    fs::path images;
    std::string mapper;
};

TEST_F(MapImagesScript, LiveRecordsOnStandardInput) {
    const auto r = run({images.string(), dir.file("home"), "--fx", "2310", "--cx", "32", "--cy", "24"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    std::vector<json> records;
    for (const std::string& line : testsupport::splitLines(readFile(dir.file("stdin.txt"))))
        records.push_back(json::parse(json::parse(line)["frame"].get<std::string>()));
    expectRecords(records);
    const json t = task();
    EXPECT_EQ(t["home"], fs::canonical(dir.file("home")).string());
    EXPECT_EQ(t["dataset"], json::parse(R"({"live":true,"form":"zel_frame"})"));
    EXPECT_EQ(t["locate"]["method"], "legacy_sfm");
    EXPECT_EQ(t["dense"]["method"], "legacy_pf");
    EXPECT_NE(r.out.find("zel_mapper: state   12  progress  100 %"), std::string::npos) << r.out;
    const std::string home = fs::canonical(dir.file("home")).string();
    for (const std::string& where : {home + "/dom", home + "/dsm", home + "/dense/tileset.json"})
        EXPECT_NE(r.out.find(where), std::string::npos) << where << " in " << r.out;
}

TEST_F(MapImagesScript, DatasetFileWithFile) {
    const auto r = run({images.string(), dir.file("home"), "--file", "--cx", "32", "--cy", "24", "--fx", "2310"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const std::string file = fs::canonical(dir.file("home")).string() + "/frames.json";
    const json records = json::parse(readFile(file));
    ASSERT_TRUE(records.is_array());
    expectRecords(records.get<std::vector<json>>());
    EXPECT_EQ(task()["dataset"], (json{{"live", false}, {"form", "zel_frame"}, {"uri", file}}));
    EXPECT_EQ(readFile(dir.file("stdin.txt")), "");
}

TEST_F(MapImagesScript, ARunThatIsNotDoneFails) {
    const auto r = run({images.string(), dir.file("home"), "--fx", "2310", "--cx", "32", "--cy", "24"}, "-14");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("zel_mapper ended in state -14"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("maps (EPSG:3857"), std::string::npos) << r.out;
}

TEST_F(MapImagesScript, BadArgumentsAreRefusedBeforeAnyRun) {
    const std::string home = dir.file("home");
    const std::string empty = dir.file("empty");
    fs::create_directories(empty);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {images.string()},
        {images.string(), home},
        {images.string(), home, "--fx", "2310", "--cx", "32"},
        {images.string(), home, "--fx", "2310", "--cx", "32", "--cy"},
        {images.string(), home, "--fx", "abc", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "1e", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "0", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "-5", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "2310", "--fy", "0", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "1e-400", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "1e400", "--cx", "32", "--cy", "24"},
        {images.string(), home, "--fx", "2310", "--cx", "-1e308", "--cy", "24"},
        {images.string(), home, "--fx", "2310", "--cx", "-0.5", "--cy", "24"},
        {images.string(), home, "--fx", "2310", "--cx", "32", "--cy", "1e400"},
        {images.string(), home, "--fx", "2310", "--cx", "32", "--cy", "-1"},
        {images.string(), home, "--fx", "2310", "--cx", "32", "--cy", "24", "--live"},
        {dir.file("missing"), home, "--fx", "2310", "--cx", "32", "--cy", "24"},
        {empty, home, "--fx", "2310", "--cx", "32", "--cy", "24"},
    };
    for (const auto& args : cases) {
        std::string text;
        for (const auto& a : args) text += " " + a;
        SCOPED_TRACE(text);
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("args.txt"))) << "zel_mapper ran";
    }
}

// A principal point beyond an image (64 x 48 pixels here, as exiftool reads
// them) is refused with that image named, before image_meta or zel_mapper run.
TEST_F(MapImagesScript, PrincipalPointBeyondAnImageIsRefused) {
    const auto sizes = runProcess({testsupport::kExiftoolPath, "-n", "-T", "-ImageWidth", "-ImageHeight",
                                   (images / "a_0001.jpg").string()});
    ASSERT_EQ(sizes.out, "64\t48\n");
    // A larger image first in name order: the point must lie within every image.
    cv::Mat large(96, 128, CV_8UC3, cv::Scalar(1, 2, 3));
    ASSERT_TRUE(cv::imwrite((images / "0_large.jpg").string(), large));
    struct Case {
        std::string cx, cy;
        std::string named;  // the image refused; "" where the run goes on
    };
    const std::vector<Case> cases = {
        {"65", "24", "a_0001.jpg"},    {"32", "48.5", "a_0001.jpg"}, {"5000", "24", "0_large.jpg"},
        {"32", "1e5", "0_large.jpg"}, {"64", "48", ""},             {"0", "0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("--cx " + c.cx + " --cy " + c.cy);
        fs::remove(dir.file("args.txt"));
        const std::string home = dir.file("home_" + c.cx + "_" + c.cy);
        const auto r = run({images.string(), home, "--fx", "2310", "--cx", c.cx, "--cy", c.cy});
        if (c.named.empty()) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(fs::exists(dir.file("args.txt")));
            continue;
        }
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find((fs::canonical(images) / c.named).string()), std::string::npos) << r.err;
        for (const std::string other : {"0_large.jpg", "a_0001.jpg", "b_0002.JPG", "c_0003.jpeg"}) {
            if (other == c.named) continue;
            EXPECT_EQ(r.err.find(other), std::string::npos) << r.err;
        }
        EXPECT_FALSE(fs::exists(dir.file("args.txt"))) << "zel_mapper ran";
        EXPECT_FALSE(fs::exists(home)) << "the home was made";
    }
}

}  // namespace
