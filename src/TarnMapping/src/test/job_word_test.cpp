// The job's word against the built zel_mapper (with the stand-in back end),
// for the inputs of a careless host that need no survey: images whose header
// claims too many pixels, cut JPEGs, a real DJI photograph, live records the
// parser refuses, a closed or abandoned standard error, two jobs in one
// home, a rerun in a used home, tiling locations that would mix runs and an
// output folder that cannot be made.
// Each row gives the last status line's state, the ERROR texts or -9 lines
// and what the home holds afterwards.
#include "frame_records.h"
#include "testsupport/files.h"
#include "testsupport/mapper_run.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <thread>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

using nlohmann::json;
using testsupport::base64Encode;
using testsupport::readFile;
using testsupport::runProcess;
namespace fs = std::filesystem;

namespace {

const std::string kProgram = testsupport::kZelMapperTestBackEndPath;
const fs::path kFlight = fs::path(ZEL_SHARED_DATA_DIR) / "brighton-beach";

using mappertest::frameLine;
using mappertest::frameRecord;

// The task's JSON text; taskText is its base64, as the command line takes it.
std::string taskJson(const std::string& home, const json& dataset, const json& extra = json::object()) {
    json task = {{"home", home}, {"dataset", dataset}};
    task.merge_patch(extra);
    return task.dump();
}

std::string taskText(const std::string& home, const json& dataset, const json& extra = json::object()) {
    return base64Encode(taskJson(home, dataset, extra));
}

json liveDataset() { return {{"live", true}, {"form", "zel_frame"}}; }

// A file dataset of the frames; frame 0's image is replaced by the given file.
json fileDataset(const testsupport::TempDir& dir, const std::string& firstImage = "") {
    json records = json::array();
    for (int i = 0; i < 6; ++i) records.push_back(frameRecord(dir, i));
    if (!firstImage.empty()) records[0]["uri"] = firstImage;
    return {{"form", "zel_frame"}, {"uri", dir.write("frames.json", records.dump())}};
}

// A small JPEG whose main frame header claims width x height; its EXIF-like
// APP1 segment carries a thumbnail whose own header is small.
std::string jpegClaiming(int width, int height) {
    std::vector<unsigned char> main, thumb;
    cv::imencode(".jpg", cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 90, 140)), main);
    cv::imencode(".jpg", cv::Mat(12, 16, CV_8UC3, cv::Scalar(10, 20, 30)), thumb);
    std::string bytes(main.begin(), main.end());
    for (size_t i = 2; i + 9 < bytes.size(); ++i) {
        if (static_cast<unsigned char>(bytes[i]) == 0xFF && static_cast<unsigned char>(bytes[i + 1]) == 0xC0) {
            bytes[i + 5] = char(height >> 8), bytes[i + 6] = char(height & 0xFF);
            bytes[i + 7] = char(width >> 8), bytes[i + 8] = char(width & 0xFF);
            break;
        }
    }
    std::string app1 = "Exif";
    app1.append(2, '\0');
    app1.append(thumb.begin(), thumb.end());
    const size_t length = app1.size() + 2;
    const std::string segment = std::string("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + app1;
    return bytes.substr(0, 2) + segment + bytes.substr(2);
}

std::string djiPath() { return (kFlight / "DJI_0018.JPG").string(); }

// image_meta's line for the DJI photograph, with the 4:3 calibration of its sensor.
std::string djiLine() {
    const std::string path = djiPath();
    const auto r = runProcess({testsupport::kImageMetaPath, base64Encode(path)}, readFile(path).substr(0, 102400));
    json line = json::parse(r.out, nullptr, false);
    if (!line.is_object() || !line.contains("frame")) return "";
    json record = json::parse(line["frame"].get<std::string>(), nullptr, false);
    record["calibration"] = {{"width", 4000}, {"height", 3000}, {"fx", 2310}, {"fy", 2310}, {"cx", 2000}, {"cy", 1500}};
    return frameLine(record);
}

struct Outcome : testsupport::MapperRun {
    std::string home;
    bool logged(const std::string& text) const {
        return std::find(lines.text.begin(), lines.text.end(), text) != lines.text.end();
    }
    std::vector<std::string> minus9() const {
        std::vector<std::string> out;
        for (const auto& e : lines.errors)
            if (e["code"] == -9) out.push_back(e["message"]);
        return out;
    }
};

Outcome runIn(const testsupport::TempDir& dir, const json& dataset, const std::string& input,
              const json& extra = json::object()) {
    Outcome o{testsupport::runMapper(kProgram, taskJson(dir.path(), dataset, extra), input, 300.0), dir.path()};
    EXPECT_FALSE(o.process.timedOut);
    EXPECT_EQ(o.process.exitCode, 0) << o.process.err.substr(0, 3000);
    EXPECT_EQ(o.process.err.find("Sanitizer"), std::string::npos) << o.process.err.substr(0, 3000);
    EXPECT_EQ(o.process.err.find("runtime error:"), std::string::npos) << o.process.err.substr(0, 3000);
    return o;
}

// Peak resident memory in KiB of the command, through GNU time.
long peakKiB(const std::vector<std::string>& argv, const std::string& input, const std::string& home) {
    std::vector<std::string> timed{"/usr/bin/time", "-f", "peak_kib=%M", "-o", home + "/peak.txt"};
    timed.insert(timed.end(), argv.begin(), argv.end());
    runProcess(timed, input, 300.0);
    const std::string text = readFile(home + "/peak.txt");
    const size_t at = text.find("peak_kib=");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + 9));
}

struct Row {
    std::string id;
    std::string name;
    std::function<void(const testsupport::TempDir&)> check;
};

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"PixelCap", "an image whose header claims 30000 x 30000 pixels is refused before decoding",
         [](const testsupport::TempDir& dir) {
             const std::string bomb = dir.write("bomb.jpg", jpegClaiming(30000, 30000));
             const json dataset = fileDataset(dir, bomb);
             const Outcome o = runIn(dir, dataset, "");
             EXPECT_EQ(o.lastState(), 12) << o.process.err.substr(0, 3000);
             EXPECT_TRUE(o.logged("Failed to decode " + bomb + ": 30000 x 30000 pixels, above the cap of 120000000 pixels"))
                 << o.process.err.substr(0, 3000);
             testsupport::TempDir again("zel-word-peak");
             const long kib = peakKiB({kProgram, "--task", taskText(again.path(), fileDataset(again, bomb))}, "",
                                      again.path());
             std::cout << "peak resident memory of the 30000 x 30000 case: " << kib / 1024 << " MiB" << std::endl;
             EXPECT_GT(kib, 0);
             EXPECT_LT(kib, 1536L * 1024);
         }},
        {"ThumbnailHeader", "a header of 16 x 12 in the EXIF segment does not hide the main image's size",
         [](const testsupport::TempDir& dir) {
             const std::string image = dir.write("small.jpg", jpegClaiming(64, 48));
             const Outcome o = runIn(dir, fileDataset(dir, image), "");
             EXPECT_EQ(o.lastState(), 12);
             EXPECT_FALSE(o.loggedStart("Failed to decode ")) << o.process.err.substr(0, 3000);
         }},
        {"DjiAccepted", "a real DJI photograph with a 4000 x 3000 calibration and its trailing preview is accepted",
         [](const testsupport::TempDir& dir) {
             if (!fs::exists(djiPath())) GTEST_SKIP() << "no flight at " << kFlight;
             const std::string line = djiLine();
             ASSERT_FALSE(line.empty());
             const Outcome o = runIn(dir, liveDataset(), line + R"({"frame":""})" "\n");
             EXPECT_EQ(o.lastState(), 12) << o.process.err.substr(0, 3000);
             EXPECT_FALSE(o.loggedStart("Failed to decode ")) << o.process.err.substr(0, 3000);
             EXPECT_TRUE(o.minus9().empty());
         }},
        {"DjiCut", "a DJI photograph cut at 55 % is refused",
         [](const testsupport::TempDir& dir) {
             if (!fs::exists(djiPath())) GTEST_SKIP() << "no flight at " << kFlight;
             const std::string bytes = readFile(djiPath());
             const std::string cut = dir.write("cut.jpg", bytes.substr(0, bytes.size() * 55 / 100));
             const std::string line = djiLine();
             ASSERT_FALSE(line.empty());
             json record = json::parse(json::parse(line)["frame"].get<std::string>());
             record["uri"] = cut;
             const Outcome o = runIn(dir, liveDataset(), frameLine(record) + R"({"frame":""})" "\n");
             EXPECT_EQ(o.lastState(), -14) << o.process.err.substr(0, 3000);
             EXPECT_TRUE(o.logged("Failed to decode " + cut + ": the image data ends before its last scan"))
                 << o.process.err.substr(0, 3000);
             EXPECT_TRUE(o.logged("No frame could be loaded or located."));
         }},
        {"LiveRefusals", "live records the parser refuses get their -9 lines",
         [](const testsupport::TempDir& dir) {
             // image_meta's line for a photograph without metadata has no calibration.
             const std::string plain = dir.file("plain.jpg");
             cv::imwrite(plain, cv::Mat(48, 64, CV_8UC3, cv::Scalar(1, 2, 3)));
             const auto meta = runProcess({testsupport::kImageMetaPath, base64Encode(plain)}, readFile(plain));
             ASSERT_EQ(meta.exitCode, 0) << meta.err;
             std::string noMetadata = testsupport::splitLines(meta.out).at(0);
             const std::vector<std::string> lines = {noMetadata, R"({"frame":"{}"})", R"({"frame":"[1,2,3]"})",
                                                     R"({"frame":"{\"uri\":\"x.jpg\",\"calibration\":{\"width\":4000}}"})"};
             std::string input;
             for (const auto& l : lines) input += l + "\n";
             const Outcome o = runIn(dir, liveDataset(), input + R"({"frame":""})" "\n");
             const std::vector<std::string> expected = {
                 "Exception for command: " + noMetadata.substr(0, 200) + (noMetadata.size() > 200 ? "..." : "") +
                     " (Failed to load camera calibration)",
                 "Exception for command: " + lines[1] + " (Failed to load frame)",
                 "Exception for command: " + lines[2] + " (Failed to load frame)",
                 "Exception for command: " + lines[3] + " (Failed to load camera calibration)"};
             EXPECT_EQ(o.minus9(), expected) << o.process.err.substr(0, 3000);
             EXPECT_TRUE(o.logged("Failed to load camera calibration: "));
             EXPECT_TRUE(o.logged("Failed to load frame: "));
             EXPECT_EQ(o.lastState(), -14);
         }},
        {"FileDatasetSilent", "a frame command to a file dataset stays unanswered",
         [](const testsupport::TempDir& dir) {
             const Outcome o = runIn(dir, fileDataset(dir), R"({"frame":"{}"})" "\n");
             EXPECT_EQ(o.lastState(), 12);
             EXPECT_TRUE(o.minus9().empty()) << o.process.err.substr(0, 3000);
         }},
        {"ProgressEndsAtOne", "progress reaches 1.0 only in the final line, for a file and a live dataset",
         [](const testsupport::TempDir& dir) {
             std::string frames;
             for (int i = 0; i < 3; ++i) frames += frameLine(frameRecord(dir, i));
             for (const Outcome& o : {runIn(dir, fileDataset(dir), ""),
                                      runIn(dir, liveDataset(), frames + R"({"frame":""})" "\n")}) {
                 ASSERT_FALSE(o.lines.status.empty());
                 EXPECT_EQ(o.lastState(), 12) << o.process.err.substr(0, 3000);
                 EXPECT_EQ(o.lines.status.back()["progress"]["total"].get<double>(), 1.0);
                 for (size_t i = 0; i + 1 < o.lines.status.size(); ++i)
                     EXPECT_LT(o.lines.status[i]["progress"]["total"].get<double>(), 1.0) << o.lines.status[i].dump();
             }
         }},
        {"ClosedStderr", "a closed standard error: the job and log.txt go on to the end",
         [](const testsupport::TempDir& dir) {
             const std::string task = taskText(dir.path(), fileDataset(dir));
             const auto r = runProcess({"/bin/sh", "-c", "exec \"$0\" --task \"$1\" 2>&-", kProgram, task}, "", 300.0);
             EXPECT_EQ(r.exitCode, 0);
             const std::string log = readFile(dir.file("log.txt"));
             EXPECT_NE(log.find("Task processed in "), std::string::npos) << log.substr(0, 2000);
             // No file of the home took the closed stream's number and its lines.
             for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
                 if (!entry.is_regular_file()) continue;
                 EXPECT_EQ(readFile(entry.path()).find("\"state\""), std::string::npos) << entry.path();
             }
             EXPECT_EQ(fs::file_size(dir.file("zel_mapper.lock")), 0u);
             EXPECT_TRUE(fs::exists(dir.file("dom/stand-in.png")));
         }},
        {"HostStopsReading", "a host that reads two lines and stops: no SIGPIPE, the job ends",
         [](const testsupport::TempDir& dir) {
             const std::string task = taskText(dir.path(), fileDataset(dir));
             const auto r = runProcess(
                 {"/bin/bash", "-c", "\"$0\" --task \"$1\" 2>&1 >/dev/null | head -2 >/dev/null; echo \"${PIPESTATUS[0]}\"",
                  kProgram, task},
                 "", 300.0);
             EXPECT_EQ(r.out, "0\n") << r.err;
             const std::string log = readFile(dir.file("log.txt"));
             EXPECT_NE(log.find("Task processed in "), std::string::npos) << log.substr(0, 2000);
             EXPECT_TRUE(fs::exists(dir.file("dom/stand-in.png")));
         }},
        {"TwoJobsOneHome", "two jobs in one home: the second is refused, the first one's log.txt is intact",
         [](const testsupport::TempDir& dir) {
             // The first job is live and holds its input open for a while.
             const std::string first = taskText(dir.path(), liveDataset());
             const std::string frame = frameLine(frameRecord(dir, 0));
             auto running = std::async(std::launch::async, [&] {
                 return runProcess({"/bin/sh", "-c", "(printf '%s' \"$2\"; sleep 3) | \"$0\" --task \"$1\"", kProgram,
                                    first, frame},
                                   "", 300.0);
             });
             // It holds the lock once its log.txt is there.
             bool held = false;
             for (int i = 0; i < 1000 && !held; ++i) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                 held = fs::exists(dir.file("log.txt"));
             }
             ASSERT_TRUE(held);
             // The second job's images lie apart: rewriting img0.png would
             // race with the first job reading it.
             const testsupport::TempDir images("zel-word-second");
             const Outcome second = runIn(dir, fileDataset(images), "");
             const auto r = running.get();
             EXPECT_EQ(second.lastState(), -14);
             EXPECT_TRUE(second.logged("Home folder in use by another job: " + dir.path())) << second.process.err;
             const auto firstLines = testsupport::parseMapperLines(r.err);
             ASSERT_FALSE(firstLines.status.empty());
             EXPECT_EQ(firstLines.status.back()["state"], 12) << r.err.substr(0, 3000);
             const std::string log = readFile(dir.file("log.txt"));
             EXPECT_NE(log.find("Task processed in "), std::string::npos);
             EXPECT_EQ(log.find("in use by another job"), std::string::npos);
             EXPECT_FALSE(fs::exists(dir.file("previous_runs")));
         }},
        {"RerunSetAside", "a rerun sets the previous run's products aside and blends nothing",
         [](const testsupport::TempDir& dir) {
             fs::create_directories(dir.file("dom/19"));
             std::ofstream(dir.file("dom/19/19_1_1.png")) << "old tile";
             std::ofstream(dir.file("log.txt")) << "old log\n";
             fs::create_directories(dir.file("mine"));
             std::ofstream(dir.file("mine/notes.txt")) << "the user's";
             // A tiling location outside the home is left alone.
             testsupport::TempDir outside("zel-word-outside");
             std::ofstream(outside.file("19_2_2.tiff")) << "kept";
             const Outcome o = runIn(dir, fileDataset(dir), "", {{"dsm", {{"tiling", {{"location", outside.path()}}}}}});
             EXPECT_EQ(readFile(outside.file("19_2_2.tiff")), "kept");
             EXPECT_EQ(o.lastState(), 12);
             std::vector<fs::path> asides;
             for (const auto& e : fs::directory_iterator(dir.file("previous_runs"))) asides.push_back(e.path());
             ASSERT_EQ(asides.size(), 1u);
             EXPECT_EQ(readFile(asides[0] / "dom/19/19_1_1.png"), "old tile");
             EXPECT_EQ(readFile(asides[0] / "log.txt"), "old log\n");
             EXPECT_FALSE(fs::exists(dir.file("dom/19/19_1_1.png")));
             EXPECT_EQ(readFile(dir.file("mine/notes.txt")), "the user's");
             EXPECT_TRUE(o.logged("The previous run's products were set aside in " + asides[0].string() + ": log.txt, dom"))
                 << o.process.err.substr(0, 3000);
         }},
        {"TilingLocationMixingRuns", "a tiling location that is the home or lies among the runs set aside is refused",
         [](const testsupport::TempDir&) {
             struct Case {
                 const char* section;
                 std::function<std::string(const testsupport::TempDir& home, const std::string& link)> location;
             };
             const std::string aside = "previous_runs/20240101T000000Z";
             const std::vector<Case> cases = {
                 {"dom", [](const auto& h, const auto&) { return h.path(); }},
                 {"dsm", [](const auto& h, const auto&) { return h.path(); }},
                 {"dense", [](const auto& h, const auto&) { return h.path(); }},
                 {"dom", [](const auto& h, const auto&) { return h.path() + "/."; }},
                 {"dsm", [](const auto& h, const auto&) { return h.file("sub/.."); }},
                 {"dense", [](const auto& h, const auto&) { return h.path() + "/"; }},
                 {"dom", [](const auto&, const auto& link) { return link; }},
                 {"dom", [&aside](const auto& h, const auto&) { return h.file(aside + "/dom"); }},
                 {"dsm", [](const auto& h, const auto&) { return h.file("previous_runs/later/dsm"); }},
                 {"dense", [](const auto& h, const auto&) { return h.file("previous_runs"); }},
             };
             for (const Case& c : cases) {
                 // An earlier run's products and a run set aside before it.
                 const testsupport::TempDir home("zel-word-home");
                 fs::create_directories(home.file("dom/19"));
                 std::ofstream(home.file("dom/19/19_1_1.png")) << "old tile";
                 std::ofstream(home.file("log.txt")) << "old log\n";
                 fs::create_directories(home.file(aside + "/dom"));
                 std::ofstream(home.file(aside + "/log.txt")) << "older log\n";
                 const testsupport::TempDir elsewhere("zel-word-link");
                 const std::string link = elsewhere.file("home");
                 fs::create_directory_symlink(home.path(), link);
                 const std::string location = c.location(home, link);
                 SCOPED_TRACE(std::string(c.section) + " at " + location);
                 const testsupport::TempDir images("zel-word-images");
                 const Outcome o = runIn(home, fileDataset(images), "", {{c.section, {{"tiling", {{"location", location}}}}}});
                 EXPECT_EQ(o.lastState(), -14) << o.process.err.substr(0, 3000);
                 EXPECT_EQ(std::count(o.lines.text.begin(), o.lines.text.end(), "Invalid tiling location: " + location), 1)
                     << o.process.err.substr(0, 3000);
                 EXPECT_FALSE(o.loggedStart("The previous run's products were set aside"));
                 // Nothing of the home moved and nothing was written there but the lock.
                 EXPECT_EQ(readFile(home.file("dom/19/19_1_1.png")), "old tile");
                 EXPECT_EQ(readFile(home.file("log.txt")), "old log\n");
                 EXPECT_EQ(readFile(home.file(aside + "/log.txt")), "older log\n");
                 std::vector<std::string> entries, runs;
                 for (const auto& e : fs::directory_iterator(home.path())) entries.push_back(e.path().filename());
                 for (const auto& e : fs::directory_iterator(home.file("previous_runs"))) runs.push_back(e.path().filename());
                 std::sort(entries.begin(), entries.end());
                 EXPECT_EQ(entries, (std::vector<std::string>{"dom", "log.txt", "previous_runs", "zel_mapper.lock"}));
                 EXPECT_EQ(runs, std::vector<std::string>{"20240101T000000Z"});
                 EXPECT_FALSE(fs::exists(home.file(aside + "/dom/stand-in.png")));
             }
             // A folder inside the home beside the runs set aside is a tiling location like any other.
             const testsupport::TempDir home("zel-word-home");
             std::ofstream(home.file("log.txt")) << "old log\n";
             const testsupport::TempDir images("zel-word-images");
             const std::string beside = home.file("previous_runs_old/dom");
             const Outcome o = runIn(home, fileDataset(images), "", {{"dom", {{"tiling", {{"location", beside}}}}}});
             EXPECT_EQ(o.lastState(), 12) << o.process.err.substr(0, 3000);
             EXPECT_TRUE(fs::exists(beside + "/stand-in.png"));
         }},
        {"EarlyRefusal", "a tiling location that cannot be made fails at start-up",
         [](const testsupport::TempDir& dir) {
             std::ofstream(dir.file("file")) << "a file, not a folder";
             const std::string location = dir.file("file/dom");
             const Outcome o = runIn(dir, fileDataset(dir), "", {{"dom", {{"tiling", {{"location", location}}}}}});
             EXPECT_EQ(o.lastState(), -14);
             EXPECT_TRUE(o.loggedStart("Failed to create output folder " + location + ": ")) << o.process.err.substr(0, 3000);
             EXPECT_FALSE(o.loggedStart("Track time cost")) << "the front end ran first";
         }},
    };
    return table;
}

}  // namespace

class ZelMapperJobWord : public ::testing::TestWithParam<size_t> {};

TEST_P(ZelMapperJobWord, Table) {
    const Row& row = rows()[GetParam()];
    SCOPED_TRACE(row.name);
    testsupport::TempDir dir("zel-word");
    row.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Rows, ZelMapperJobWord, ::testing::Range<size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return rows()[info.param].id; });
