// zel_mapper's maps where the records are off, with the intrinsics refined
// ("ADJUST_ALL"): flat ground seen straight down with noisy GPS and gimbal
// records, against the same flight with exact records and against the
// ground; the small survey with one frame's position moved or out of range,
// against the run without the fault; the small survey with frame 5's image
// refused by the loader (a header that states 30000 x 30000 pixels, a JPEG
// cut in half), read by no later stage, and live frames out of flight order:
// every frame that reaches no map is named once.
#include "map_check/survey_comparison.h"
#include "map_check/web_tiles.h"
#include "mapper_runs.h"
#include "testsupport/files.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using nlohmann::json;
using e2e::MapperRun;
using testsupport::readFile;
namespace fs = std::filesystem;

namespace {

using Tiles = std::map<int, std::vector<mapcheck::TileName>>;

const json& adjustAll() {
    static const json locate = {{"method", "legacy_sfm"},
                                {"specific", {{"globalsfm.intrinsic_refinement", "ADJUST_ALL"}}}};
    return locate;
}

Tiles dsmOf(const MapperRun& run) { return mapcheck::listTileFiles((run.home / "dsm").string(), ".tiff"); }
Tiles domOf(const MapperRun& run) { return mapcheck::listTileFiles((run.home / "dom").string(), ".png"); }

std::vector<std::string> logLines(const MapperRun& run) {
    std::vector<std::string> lines;
    std::istringstream log(readFile(run.home / "log.txt"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

// The focal length of the adjusted camera, as the back end logs it where it
// chooses the zoom ("nMiddleHeight:..., f:..."); NaN when not logged.
double loggedFocal(const MapperRun& run) {
    for (const std::string& line : logLines(run)) {
        const size_t at = line.find("nMiddleHeight:");
        const size_t f = line.find(", f:", at == std::string::npos ? 0 : at);
        if (at != std::string::npos && f != std::string::npos) return std::strtod(line.c_str() + f + 4, nullptr);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

void writeBytes(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    ASSERT_TRUE(out) << file;
}

void writeRecords(const fs::path& file, const json& records) { writeBytes(file, records.dump(2) + "\n"); }

// Height differences b - a at the finest zoom that both DSMs hold, over the
// cells that both have.
struct DsmDifference {
    int zoom = 0;
    size_t cellsOfA = 0;
    mapcheck::ErrorStats stats;
};
DsmDifference dsmDifference(const Tiles& a, const Tiles& b) {
    DsmDifference d;
    d.zoom = std::min(a.rbegin()->first, b.rbegin()->first);
    const e2e::HeightDifferences h = e2e::heightDifferences(a, b, d.zoom);
    d.cellsOfA = h.cellsOfA;
    d.stats = mapcheck::summarise(h.values);
    return d;
}

// The log lines that hold text.
size_t linesWith(const MapperRun& run, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : logLines(run))
        if (line.find(text) != std::string::npos) ++n;
    return n;
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

}  // namespace

// ---- flat ground, noisy records ------------------------------------------------

// Over flat ground seen straight down the focal length trades with the
// flying height: it stays the record's, the maps keep the zoom of exact
// records, and the DSM lies on the ground but for the block's vertical
// offset, which the GPS tells to 3 m / sqrt(30).
TEST(FlatGroundNoisyRecords, FocalLengthStaysAndTheMapsLieOnTheGround) {
    testsupport::TempDir dir("flat-noisy-maps");
    const fs::path noisy = e2e::writeSurvey(dir, false, "flat-noisy");
    const fs::path exact = e2e::writeSurvey(dir, false, "flat");
    const MapperRun noisyRun = e2e::runRecordsFile(dir.file("noisy-home"), noisy / "frames.json", {}, adjustAll());
    const MapperRun exactRun = e2e::runRecordsFile(dir.file("exact-home"), exact / "frames.json", {}, adjustAll());
    ASSERT_NO_FATAL_FAILURE(e2e::expectDoneWithTilesets(noisyRun));
    ASSERT_NO_FATAL_FAILURE(e2e::expectDoneWithTilesets(exactRun));

    const json records = json::parse(readFile(noisy / "frames.json"));
    const double recorded = records[0]["calibration"]["fx"];
    const double focal = loggedFocal(noisyRun), exactFocal = loggedFocal(exactRun);
    std::printf("focal length: %.2f px with noisy records, %.2f px with exact ones, recorded %.2f px (%.3f %% off)\n",
                focal, exactFocal, recorded, 100.0 * (focal / recorded - 1.0));
    EXPECT_NEAR(focal, recorded, 0.005 * recorded);

    const Tiles dsm = dsmOf(noisyRun), exactDsm = dsmOf(exactRun);
    const Tiles dom = domOf(noisyRun), exactDom = domOf(exactRun);
    ASSERT_FALSE(dsm.empty());
    ASSERT_FALSE(exactDsm.empty());
    ASSERT_FALSE(dom.empty());
    ASSERT_FALSE(exactDom.empty());
    const int finest = dsm.rbegin()->first;
    std::printf("zooms: %d to %d with noisy records, %d to %d with exact ones\n", dsm.begin()->first, finest,
                exactDsm.begin()->first, exactDsm.rbegin()->first);
    EXPECT_EQ(finest, exactDsm.rbegin()->first);
    EXPECT_EQ(dom.rbegin()->first, exactDom.rbegin()->first);

    mapcheck::SurveyComparison truth;
    std::string error;
    ASSERT_TRUE(truth.load((noisy / "truth").string(), error)) << error;
    ASSERT_EQ(truth.truth().description()["ground"], "flat");
    for (const auto* run : {&noisyRun, &exactRun}) {
        const bool isNoisy = run == &noisyRun;
        SCOPED_TRACE(isNoisy ? "noisy records" : "exact records");
        const Tiles& tiles = isNoisy ? dsm : exactDsm;
        const int zoom = tiles.rbegin()->first;
        const std::vector<double> errors = truth.heightErrors(mapcheck::readDsmCells(tiles.at(zoom), zoom, zoom), 0.0);
        ASSERT_GT(errors.size(), 1000u);
        const mapcheck::ErrorStats raw = mapcheck::summarise(errors);
        std::vector<double> residuals;
        for (double e : errors) residuals.push_back(e - raw.mean);
        const mapcheck::ErrorStats s = mapcheck::summarise(residuals);
        std::printf("%s, DSM zoom %d: %zu cells, vertical offset %.3f m, after it RMSE %.3f m, p95 %.3f m\n",
                    isNoisy ? "noisy records" : "exact records", zoom, s.count, raw.mean, s.rmse, s.p95);
        EXPECT_LT(s.p95, 0.5);
        EXPECT_LT(std::abs(raw.mean), 3.0 * 3.0 / std::sqrt(30.0));
    }
}

// ---- one frame's position off, the small survey ---------------------------------

// The small survey with the RTK accuracies of its records, mapped once
// without a fault for the whole suite; each row changes frame 5's record.
class SmallSurveyFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<testsupport::TempDir>("record-faults-maps");
        survey_ = e2e::writeSurvey(*dir_, false);
        records_ = json::parse(readFile(survey_ / "frames.json"));
        clean_ = std::make_unique<MapperRun>(
            e2e::runRecordsFile(dir_->file("clean"), survey_ / "frames.json", {}, adjustAll()));
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

std::unique_ptr<testsupport::TempDir> SmallSurveyFaults::dir_;
fs::path SmallSurveyFaults::survey_;
json SmallSurveyFaults::records_;
std::unique_ptr<MapperRun> SmallSurveyFaults::clean_;

struct FrameFault {
    const char* name;
    const char* key;    // of the record's "gps"
    double value;
    bool outOfRange;    // value replaces the record's; else it is added to it
};

// One test walks the table, so that the run without the fault serves every row
// also where each test runs in a process of its own.
TEST_F(SmallSurveyFaults, FrameFivesPositionOffLeavesTheMapsAsWithoutIt) {
    const FrameFault faults[] = {
        {"altitude +30 m", "altitude", 30.0, false},
        {"latitude +0.01 degree", "latitude", 0.01, false},
        {"longitude +0.01 degree", "longitude", 0.01, false},
        {"latitude 91", "latitude", 91.0, true},
        {"altitude 1e9", "altitude", 1e9, true},
    };
    const Tiles cleanDsm = dsmOf(*clean_), cleanDom = domOf(*clean_);
    ASSERT_FALSE(cleanDsm.empty());
    ASSERT_FALSE(cleanDom.empty());
    const std::string frame5 = records_[5]["uri"];
    for (size_t i = 0; i < std::size(faults); ++i) {
        const FrameFault& fault = faults[i];
        SCOPED_TRACE(fault.name);
        json records = records_;
        json& position = records[5]["gps"][fault.key];
        position = fault.outOfRange ? fault.value : position.get<double>() + fault.value;
        const fs::path file = dir_->file("frames-" + std::to_string(i) + ".json");
        ASSERT_NO_FATAL_FAILURE(writeRecords(file, records));
        const MapperRun run = e2e::runRecordsFile(dir_->file("home-" + std::to_string(i)), file, {}, adjustAll());
        ASSERT_NO_FATAL_FAILURE(e2e::expectDoneWithTilesets(run));

        // A position out of range is named, by the frame's file, as treated as absent.
        size_t named = 0;
        for (const std::string& line : logLines(run))
            if (!line.empty() && line[0] == 'W' && line.find(frame5) != std::string::npos &&
                line.find("out of range") != std::string::npos)
                ++named;
        if (fault.outOfRange)
            EXPECT_GE(named, 1u) << "no WARNING names " << frame5;
        else
            EXPECT_EQ(named, 0u);

        const Tiles dsm = dsmOf(run), dom = domOf(run);
        ASSERT_FALSE(dsm.empty());
        ASSERT_FALSE(dom.empty());
        EXPECT_EQ(dsm.rbegin()->first, cleanDsm.rbegin()->first);
        EXPECT_EQ(dom.rbegin()->first, cleanDom.rbegin()->first);
        EXPECT_EQ(dsm.begin()->first, cleanDsm.begin()->first);
        const DsmDifference d = dsmDifference(cleanDsm, dsm);
        std::printf("%s: zooms %d to %d (%d to %d without the fault), focal length %.2f px; DSM at zoom %d: %zu of "
                    "%zu cells in common, mean %.4f m, p95 %.4f m\n",
                    fault.name, dsm.begin()->first, dsm.rbegin()->first, cleanDsm.begin()->first,
                    cleanDsm.rbegin()->first, loggedFocal(run), d.zoom, d.stats.count, d.cellsOfA, d.stats.mean,
                    d.stats.p95);
        EXPECT_GT(d.stats.count, d.cellsOfA * 9 / 10) << "the maps cover different ground";
        EXPECT_LT(d.stats.p95, 0.1);
    }
}

// ---- frames that cannot serve, the small survey --------------------------------

struct ImageFault {
    const char* name;
    std::string (*make)(const std::string& jpeg);
    const char* reason;  // the loader's, after "Failed to decode <path>: "
};

TEST_F(SmallSurveyFaults, FrameFivesRefusedImageIsReadByNoStage) {
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
        ASSERT_NO_FATAL_FAILURE(writeBytes(image, fault.make(original)));
        json records = records_;
        records[5]["uri"] = image.string();
        const fs::path file = dir_->file("image-frames-" + std::to_string(i) + ".json");
        ASSERT_NO_FATAL_FAILURE(writeRecords(file, records));
        const MapperRun run = e2e::runRecordsFile(dir_->file("image-home-" + std::to_string(i)), file, {}, adjustAll());
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
TEST_F(SmallSurveyFaults, LiveFramesOutOfOrderAreEachNamedOrMapped) {
    std::string input;
    for (int i : {0, 11, 1, 10, 2, 9, 3, 8, 4, 7, 5, 6})
        input += json{{"frame", records_[size_t(i)].dump()}}.dump() + "\n";
    input += R"({"frame":""})" "\n";
    const MapperRun run = e2e::runMapper(dir_->file("shuffled"), {{"live", true}, {"form", "zel_frame"}}, input, {}, adjustAll());
    EXPECT_FALSE(run.process.timedOut);
    ASSERT_FALSE(run.lines.status.empty()) << run.head();
    std::printf("live out of order: state %d\n", run.lastState());
    e2e::expectFramesLeftOutNamed(run, records_.size());
}
