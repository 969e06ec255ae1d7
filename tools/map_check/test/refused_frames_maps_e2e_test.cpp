// zel_mapper on the small survey where frames cannot serve: frame 5's image
// refused by the loader (a header that states 30000 x 30000 pixels, a JPEG
// cut in half), and live frames that arrive out of flight order. A refused
// image is read by no later stage, and every frame that reaches no map is
// named, once, by a WARNING.
#include "mapper_runs.h"
#include "testsupport/files.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using nlohmann::json;
using e2e::MapperRun;
using testsupport::readFile;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> logLines(const MapperRun& run) {
    std::vector<std::string> lines;
    std::istringstream log(readFile(run.home / "log.txt"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

// The log lines that hold text.
size_t linesWith(const MapperRun& run, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : logLines(run))
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    ASSERT_TRUE(out) << file;
}

// The JPEG with the size in its first frame header (SOF0) replaced.
std::string withStatedSize(std::string jpeg, int width, int height) {
    const size_t sof = jpeg.find("\xFF\xC0");
    EXPECT_NE(sof, std::string::npos);
    if (sof == std::string::npos) return jpeg;
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

// The small survey, mapped once from its file without a fault for the suite.
class RefusedFrames : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<testsupport::TempDir>("refused-frames-maps");
        survey_ = e2e::writeSurvey(*dir_, false);
        records_ = json::parse(readFile(survey_ / "frames.json"));
        clean_ = std::make_unique<MapperRun>(e2e::runFileDataset(dir_->file("clean"), survey_));
    }
    static void TearDownTestSuite() {
        clean_.reset();
        dir_.reset();
    }
    void SetUp() override {
        ASSERT_EQ(records_.size(), 12u) << "the survey was not written";
        ASSERT_NO_FATAL_FAILURE(e2e::expectDoneWithTilesets(*clean_));
    }

    static std::unique_ptr<testsupport::TempDir> dir_;
    static fs::path survey_;
    static json records_;
    static std::unique_ptr<MapperRun> clean_;
};

std::unique_ptr<testsupport::TempDir> RefusedFrames::dir_;
fs::path RefusedFrames::survey_;
json RefusedFrames::records_;
std::unique_ptr<MapperRun> RefusedFrames::clean_;

struct ImageFault {
    const char* name;
    std::string (*make)(const std::string& jpeg);
    const char* reason;  // the loader's, after "Failed to decode <path>: "
};

TEST_F(RefusedFrames, FrameFivesRefusedImageIsReadByNoStage) {
    const ImageFault faults[] = {
        {"a header of 30000 x 30000 pixels", [](const std::string& j) { return withStatedSize(j, 30000, 30000); },
         "30000 x 30000 pixels, above the cap of 120000000 pixels"},
        {"a JPEG cut in half", [](const std::string& j) { return j.substr(0, j.size() / 2); },
         "the image data ends before its last scan"},
    };
    const std::string original = readFile(records_[5]["uri"].get<std::string>());
    ASSERT_FALSE(original.empty());
    std::printf("without a fault: peak %ld KiB\n", clean_->process.peakKiB);
    for (size_t i = 0; i < std::size(faults); ++i) {
        const ImageFault& fault = faults[i];
        SCOPED_TRACE(fault.name);
        const fs::path image = dir_->file("frame_005_fault" + std::to_string(i) + ".jpg");
        ASSERT_NO_FATAL_FAILURE(writeText(image, fault.make(original)));
        json records = records_;
        records[5]["uri"] = image.string();
        const fs::path file = dir_->file("frames-" + std::to_string(i) + ".json");
        ASSERT_NO_FATAL_FAILURE(writeText(file, records.dump(2)));
        const MapperRun run = e2e::runRecordsFile(dir_->file("home-" + std::to_string(i)), file);
        ASSERT_NO_FATAL_FAILURE(e2e::expectDoneWithTilesets(run));
        std::printf("%s: peak %ld KiB\n", fault.name, run.process.peakKiB);
        EXPECT_LE(double(run.process.peakKiB), 1.3 * double(clean_->process.peakKiB));

        // Named once, with the loader's reason; decoded by the loader alone.
        const std::string named =
            "Frame 5 left out of the maps: Failed to decode " + image.string() + ": " + fault.reason;
        EXPECT_EQ(linesWith(run, named), 1u) << named;
        EXPECT_EQ(linesWith(run, "Failed to decode " + image.string()), 2u) << "the loader's ERROR and the WARNING";
        EXPECT_EQ(linesWith(run, "Wrong Path! " + image.string()), 0u) << "a later stage read the image";
        const e2e::FrameAccount account = e2e::expectFramesLeftOutNamed(run, records.size());
        EXPECT_EQ(account.mapped.count(5), 0u);
        // Frame 4 pairs with frame 6, the next frame with pixels.
        EXPECT_EQ(linesWith(run, "frames 4 and 5"), 0u);
        EXPECT_EQ(linesWith(run, "frame 5,"), 0u);
    }
}

// Live frames out of flight order: each pair is two frames far apart. Frames
// that reach no map are named, once each, whichever stage drops them.
TEST_F(RefusedFrames, LiveFramesOutOfOrderAreEachNamedOrMapped) {
    std::string input;
    for (int i : {0, 11, 1, 10, 2, 9, 3, 8, 4, 7, 5, 6})
        input += json{{"frame", records_[size_t(i)].dump()}}.dump() + "\n";
    input += R"({"frame":""})" "\n";
    const MapperRun run = e2e::runMapper(dir_->file("shuffled"), {{"live", true}, {"form", "zel_frame"}}, input);
    EXPECT_FALSE(run.process.timedOut);
    ASSERT_FALSE(run.lines.status.empty()) << run.head();
    std::printf("live out of order: state %d\n", run.lastState());
    e2e::expectFramesLeftOutNamed(run, records_.size());
}

}  // namespace
