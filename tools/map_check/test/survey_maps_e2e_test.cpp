// zel_mapper end to end on the small synthetic survey: its DSM, DOM and point
// cloud against the survey's ground truth, its files read by the tools users
// open them with (gdalinfo, pngcheck, OpenCV, loaders.gl), the frames that
// reach no map named in the log, the same survey fed live on standard input
// against the file dataset, and a live run that ends after half the frames.
#include "map_check/survey_comparison.h"
#include "map_check/web_tiles.h"
#include "mapper_runs.h"
#include "testsupport/files.h"
#include "testsupport/program_paths.h"
#include "testsupport/mapper_lines.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

using nlohmann::json;
using testsupport::readFile;
using testsupport::findOnPath;
using testsupport::runProcess;
using e2e::MapperRun;
using e2e::expectDoneWithTilesets;
using e2e::expectFramesLeftOutNamed;
using e2e::opaque;
using e2e::outputItem;
using e2e::readPointCloud;
using e2e::runFileDataset;
using e2e::runMapper;
using e2e::writeSurvey;
namespace fs = std::filesystem;

namespace {

// ---- runs -------------------------------------------------------------------

// The first count frames as image_meta prints them for the JPEGs (read as UTC,
// the time of the survey's records), one line each.
std::string liveLines(const fs::path& survey, size_t count) {
    const json records = json::parse(readFile(survey / "frames.json"));
    std::string lines;
    for (size_t i = 0; i < std::min(count, records.size()); ++i) {
        const std::string uri = records[i]["uri"];
        setenv("TZ", "UTC", 1);
        const auto r = runProcess({testsupport::kImageMetaPath, testsupport::base64Encode(uri)}, readFile(uri).substr(0, 102400));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        lines += r.out;
    }
    return lines;
}

MapperRun runLiveDataset(const fs::path& home, const std::string& lines) {
    return runMapper(home, {{"live", true}, {"form", "zel_frame"}}, lines);
}

// The DOM and DSM items of the last status line describe the tiles written:
// their zooms are those of the folders, their tile range at the finest zoom
// holds every tile of it.
void expectItemsDescribeTiles(const MapperRun& run, const std::map<int, std::vector<mapcheck::TileName>>& dom,
                              const std::map<int, std::vector<mapcheck::TileName>>& dsm) {
    for (const auto& [id, tiles] : {std::make_pair(std::string("dom_01"), &dom), std::make_pair(std::string("dsm_01"), &dsm)}) {
        const json* item = outputItem(run.lines.status.back(), id);
        ASSERT_NE(item, nullptr) << id;
        ASSERT_FALSE(tiles->empty()) << id;
        EXPECT_EQ((*item)["zooms"], json::array({tiles->begin()->first, tiles->rbegin()->first})) << item->dump();
        const std::vector<double> range = (*item)["geometry"];
        ASSERT_EQ(range.size(), 4u) << item->dump();
        for (const mapcheck::TileName& t : tiles->rbegin()->second)
            EXPECT_TRUE(t.x >= range[0] && t.x <= range[2] && t.y >= range[1] && t.y <= range[3])
                << t.path << " outside " << item->dump();
    }
}

// ---- the survey's geometry --------------------------------------------------

// DOM colour bounds at a DSM cell's scale: mean difference per channel, and
// the share of pixels within 48 levels.
constexpr double kDomChannelMean = 4.0;
constexpr double kDomChannelWithin48 = 0.98;

// What the survey lets one expect of the maps, from its truth.json.
struct Expectations {
    double height = 0;     // camera above the lowest ground, metres
    double focal = 0;      // focal length at the dense stage's processing scale, pixels
    double baseline = 0;   // between the frames of a pair, metres
    double pairError = 0;  // vertical error of one pair: H^2 / (f B) * 0.25 px
    double cell = 0;       // DSM cell at the finest zoom, metres
    double pixel = 0;      // DOM pixel at the finest zoom, metres
    double margin = 0;     // building edges left out by this much, metres
    double slope = 0;      // 95th percentile of the true surface's slope away from edges
    double ruleBias = 0;   // upward bias of the DSM's highest-point-wins rule
    double parallax = 0;   // DOM pixels of displacement by the DSM's bias
};

Expectations expectations(const mapcheck::SurveyComparison& truth, int finestZoom) {
    const json& d = truth.truth().description();
    Expectations e;
    double highest = -1e9;
    for (const json& shot : d["shots"]) highest = std::max(highest, shot["up"].get<double>());
    double lowest = 1e9;
    for (float h : cv::Mat_<float>(truth.truth().height())) lowest = std::min(lowest, double(h));
    e.height = highest - lowest;
    // The dense stage brings the frames down by its scale 4, but never below
    // 960 pixels wide.
    const double width = d["camera"]["width"], fx = d["camera"]["fx"];
    e.focal = fx * std::min(1.0, std::max(0.25, 960.0 / width));
    e.baseline = d["flight"]["spacing"];
    e.pairError = e.height * e.height / (e.focal * e.baseline) * 0.25;
    const double latitude = d["reference"]["latitude"];
    e.pixel = mapcheck::metresPerPixel(latitude, finestZoom);
    e.cell = e.pixel * mapcheck::kTileSize / mapcheck::kDsmTileSize;
    // Building edges are left out by three cells: one for the cell that
    // straddles a wall and takes the roof, two for the 5 x 5 closing of the
    // gridded heights.
    e.margin = 3.0 * e.cell;
    e.slope = truth.slope(0.95, e.margin);
    // A cell keeps the highest of its points: on a slope that lies up to half
    // a diagonal upslope of its centre, and of the n noisy points of a cell
    // (one per pixel at the processing scale) the highest lies about
    // sqrt(2 ln n) pair errors above their mean.
    const double points = std::pow(e.cell * e.focal / e.height, 2.0);
    e.ruleBias = e.slope * e.cell / std::sqrt(2.0) + std::sqrt(2.0 * std::log(points)) * e.pairError;
    // A DOM pixel takes its colour where its DSM height projects: a height
    // off by the rule's bias moves it by bias * offset / H, the winning frame
    // lying at most half the strip spacing off.
    e.parallax = e.ruleBias * 0.5 * d["flight"]["strip_spacing"].get<double>() / e.height / e.pixel;
    return e;
}

// ---- independent readers ----------------------------------------------------

void expectDsmTilesReadByGdal(const std::map<int, std::vector<mapcheck::TileName>>& dsm) {
    const std::string gdalinfo = findOnPath("gdalinfo");
    ASSERT_FALSE(gdalinfo.empty()) << "gdalinfo is missing (scripts/setup.sh installs gdal-bin)";
    size_t read = 0;
    for (const auto& [zoom, tiles] : dsm)
        for (const mapcheck::TileName& t : tiles) {
            const auto r = runProcess({gdalinfo, "-json", "-mm", t.path});
            ASSERT_EQ(r.exitCode, 0) << t.path << ": " << r.err;
            const json info = json::parse(r.out, nullptr, false);
            ASSERT_TRUE(info.is_object()) << r.out;
            EXPECT_EQ(info["driverShortName"], "GTiff") << t.path;
            EXPECT_EQ(info["size"], json::array({64, 64})) << t.path;
            ASSERT_EQ(info["bands"].size(), 1u) << t.path;
            const json& band = info["bands"][0];
            EXPECT_EQ(band["type"], "Float32") << t.path;
            // GDAL's and OpenCV's readings agree on the heights.
            const cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
            ASSERT_EQ(tile.type(), CV_32FC1) << t.path;
            double lo = 0, hi = 0;
            cv::minMaxLoc(tile, &lo, &hi);
            EXPECT_NEAR(band.value("computedMax", -1.0), hi, 1e-3) << t.path;
            EXPECT_NEAR(band.value("computedMin", 1.0), lo, std::abs(lo) * 1e-6) << t.path;
            ++read;
        }
    EXPECT_GT(read, 0u);
}

void expectDomTilesReadByPngcheckAndOpenCv(const std::map<int, std::vector<mapcheck::TileName>>& dom) {
    const std::string pngcheck = findOnPath("pngcheck");
    ASSERT_FALSE(pngcheck.empty()) << "pngcheck is missing (scripts/setup.sh installs it)";
    std::vector<std::string> argv{pngcheck, "-q"};
    for (const auto& [zoom, tiles] : dom)
        for (const mapcheck::TileName& t : tiles) {
            argv.push_back(t.path);
            const cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
            ASSERT_EQ(tile.type(), CV_8UC4) << t.path;
            EXPECT_EQ(tile.size(), cv::Size(256, 256)) << t.path;
        }
    ASSERT_GT(argv.size(), 2u);
    const auto r = runProcess(argv);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

// ---- map helpers ------------------------------------------------------------

cv::Mat grey(const cv::Mat& bgr) {
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    g.convertTo(g, CV_32F);
    return g;
}

// The texture between 1 and 4 DOM pixels: what places the picture, free of
// the slow changes of brightness that blending leaves.
cv::Mat texture(const cv::Mat& g) {
    cv::Mat fine, coarse;
    cv::GaussianBlur(g, fine, cv::Size(), 1.0);
    cv::GaussianBlur(g, coarse, cv::Size(), 4.0);
    return fine - coarse;
}

std::vector<cv::Vec3d> pointsOf(const json& cloud) {
    std::vector<cv::Vec3d> points;
    for (const json& frame : cloud["frames"]) {
        const std::vector<double> xyz = frame["ecef"];
        for (size_t i = 0; i + 2 < xyz.size(); i += 3) points.emplace_back(xyz[i], xyz[i + 1], xyz[i + 2]);
    }
    return points;
}

// Pixel of a local point in the frame of a record; z <= 0 behind it.
cv::Vec3d project(const mapcheck::SurveyComparison& truth, const json& record, const cv::Vec3d& point) {
    const json& g = record["gps"];
    const json& a = record["attitude"];
    const json& c = record["calibration"];
    const auto& frame = truth.truth().frame();
    const cv::Matx33d R = frame.cameraToLocal(g["latitude"], g["longitude"], a["pitch"], a["yaw"], a["roll"]);
    const cv::Vec3d p = R.t() * (point - frame.fromGeodetic(g["latitude"], g["longitude"], g["altitude"]));
    return {c["fx"].get<double>() * p[0] / p[2] + c["cx"].get<double>(),
            c["fy"].get<double>() * p[1] / p[2] + c["cy"].get<double>(), p[2]};
}

std::map<std::pair<int, int>, double> cellsByIndex(const std::vector<mapcheck::DsmCell>& cells) {
    std::map<std::pair<int, int>, double> out;
    for (const auto& c : cells) out[{c.index.x, c.index.y}] = c.height;
    return out;
}

}  // namespace

// The finest DSM zoom has heights below the cameras of the first count frames
// that lie inside a strip.
void expectGroundBelowCamerasCovered(const mapcheck::SurveyComparison& truth,
                                     const std::map<std::pair<int, int>, double>& cells, int zoom, size_t count) {
    const json& d = truth.truth().description();
    const size_t perStrip = d["flight"]["frames_per_strip"];
    for (size_t i = 0; i < count; ++i) {
        if (i % perStrip == 0 || i % perStrip == perStrip - 1) continue;
        const json& shot = d["shots"][i];
        const cv::Vec3d g = truth.truth().frame().toGeodetic(cv::Vec3d(shot["east"], shot["north"], 0.0));
        const cv::Point2d px = mapcheck::latLonToPixel(g[0], g[1], zoom);
        EXPECT_TRUE(cells.count({int(px.x) / 4, int(px.y) / 4})) << "no height below " << shot["image"];
    }
}

// ---- the file dataset against the truth -------------------------------------

TEST(SurveyMaps, FileDatasetMakesMapsTrueToTheSurvey) {
    testsupport::TempDir dir("survey-maps");
    const fs::path survey = writeSurvey(dir, false);
    const MapperRun run = runFileDataset(dir.file("home"), survey);
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(run));
    expectFramesLeftOutNamed(run, 12);

    mapcheck::SurveyComparison truth;
    std::string error;
    ASSERT_TRUE(truth.load((survey / "truth").string(), error)) << error;
    const auto dsm = mapcheck::listTileFiles((run.home / "dsm").string(), ".tiff");
    const auto dom = mapcheck::listTileFiles((run.home / "dom").string(), ".png");
    ASSERT_FALSE(dsm.empty());
    ASSERT_FALSE(dom.empty());
    const int finest = dsm.rbegin()->first;
    EXPECT_EQ(dom.rbegin()->first, finest);
    expectItemsDescribeTiles(run, dom, dsm);
    const Expectations e = expectations(truth, finest);
    std::printf("H %.2f m, f %.1f px, B %.1f m: pair error %.3f m; cell %.3f m, slope %.3f: rule bias %.3f m; "
                "DOM pixel %.3f m, parallax %.2f px\n",
                e.height, e.focal, e.baseline, e.pairError, e.cell, e.slope, e.ruleBias, e.pixel, e.parallax);

    {
        SCOPED_TRACE("outputs read by gdalinfo, pngcheck and OpenCV");
        expectDsmTilesReadByGdal(dsm);
        expectDomTilesReadByPngcheckAndOpenCv(dom);
    }

    // DSM, per zoom, on ground and roofs away from building edges: the mean
    // error lies between no bias and the rule's, the RMSE within the rule's
    // bias and one pair error, the 95th percentile within the bias and two.
    for (const auto& [zoom, tiles] : dsm) {
        SCOPED_TRACE("DSM at zoom " + std::to_string(zoom));
        std::vector<std::string> unreadable;
        const auto cells = mapcheck::readDsmCells(tiles, zoom, finest, &unreadable);
        EXPECT_TRUE(unreadable.empty()) << unreadable.front();
        const mapcheck::ErrorStats s = mapcheck::summarise(truth.heightErrors(cells, e.margin));
        std::printf("DSM zoom %d: %zu cells, mean %.3f m, RMSE %.3f m, p95 %.3f m\n", zoom, s.count, s.mean, s.rmse,
                    s.p95);
        ASSERT_GT(s.count, 0u);
        EXPECT_GT(s.mean, -e.pairError);
        EXPECT_LT(s.mean, e.ruleBias);
        EXPECT_LT(s.rmse, e.ruleBias + e.pairError);
        EXPECT_LT(s.p95, e.ruleBias + 2.0 * e.pairError);
    }
    // The finest zoom covers the ground below every camera inside a strip
    // (the ends have a neighbour on one side only).
    {
        const auto cells = cellsByIndex(mapcheck::readDsmCells(dsm.at(finest), finest, finest));
        expectGroundBelowCamerasCovered(truth, cells, finest, truth.truth().description()["shots"].size());
    }

    // DOM at the finest zoom: its texture lies where the truth has it, moved
    // only by the parallax of the DSM's bias, with a quarter of a pixel for
    // the matching itself.
    {
        SCOPED_TRACE("DOM at zoom " + std::to_string(finest));
        std::vector<std::string> unreadable;
        const mapcheck::DomMosaic mosaic = mapcheck::readDomMosaic(dom.at(finest), finest, &unreadable);
        EXPECT_TRUE(unreadable.empty());
        cv::Mat bgr;
        cv::cvtColor(mosaic.image, bgr, cv::COLOR_BGRA2BGR);
        const cv::Mat expected = truth.trueColour(mosaic);
        cv::Mat mask = opaque(mosaic) & truth.awayFromEdges(mosaic, e.margin);
        cv::erode(mask, mask, cv::Mat::ones(9, 9, CV_8U));
        ASSERT_GT(cv::countNonZero(mask), mask.total() / 4);
        double peak = 0;
        const cv::Point2d shift = mapcheck::bestShift(texture(grey(expected)), texture(grey(bgr)), mask, 5, &peak);
        std::printf("DOM texture shift %.2f, %.2f px, correlation %.2f\n", shift.x, shift.y, peak);
        EXPECT_GT(peak, 0.3);
        EXPECT_NEAR(shift.x, 0.0, 0.25 + e.parallax);
        EXPECT_NEAR(shift.y, 0.0, 0.25 + e.parallax);

        // Colour on the scale of a DSM cell, the truth moved by that shift:
        // on every channel the mean difference stays within a few levels and
        // nearly every pixel within 48 levels of the truth.
        cv::Mat moved;
        cv::warpAffine(expected, moved, cv::Matx23d(1, 0, shift.x, 0, 1, shift.y), expected.size());
        cv::Mat a, b;
        cv::GaussianBlur(bgr, a, cv::Size(), 4.0);
        cv::GaussianBlur(moved, b, cv::Size(), 4.0);
        a.convertTo(a, CV_32FC3);
        b.convertTo(b, CV_32FC3);
        std::vector<cv::Mat> diff;
        cv::split(a - b, diff);
        for (int ch = 0; ch < 3; ++ch) {
            const double mean = cv::mean(diff[ch], mask)[0];
            const double within = double(cv::countNonZero((cv::abs(diff[ch]) <= 48) & mask)) / cv::countNonZero(mask);
            std::printf("DOM channel %d: mean difference %.1f, within 48 levels %.3f\n", ch, mean, within);
            EXPECT_LT(std::abs(mean), kDomChannelMean) << "channel " << ch;
            EXPECT_GT(within, kDomChannelWithin48) << "channel " << ch;
        }

        // Grey on a 1 m scale over all the covered ground (the DOM averaged
        // over its covered pixels only, so the map's own edge counts too):
        // within 16 levels of the truth almost everywhere.
        const double sigma = 1.0 / e.pixel;
        const cv::Mat covered = opaque(mosaic);
        cv::Mat coverage, domGrey, trueGrey;
        covered.convertTo(coverage, CV_32F, 1.0 / 255.0);
        cv::GaussianBlur(grey(bgr).mul(coverage), domGrey, cv::Size(), sigma);
        cv::GaussianBlur(coverage, coverage, cv::Size(), sigma);
        domGrey /= cv::max(coverage, 1e-6);
        cv::GaussianBlur(grey(moved), trueGrey, cv::Size(), sigma);
        const cv::Mat greyOff = cv::abs(domGrey - trueGrey);
        cv::Mat ground = covered & truth.awayFromEdges(mosaic, e.margin);
        const double within16 = double(cv::countNonZero((greyOff <= 16) & ground)) / cv::countNonZero(ground);
        std::printf("DOM grey at a 1 m scale: %.3f of %d covered pixels within 16 levels of the truth\n", within16,
                    cv::countNonZero(ground));
        EXPECT_GT(within16, 0.95);
    }

    // The point cloud as loaders.gl reads it: every frame with its five
    // levels, each point within a pair's error of the true surface.
    {
        SCOPED_TRACE("point cloud");
        const json cloud = readPointCloud(run.home / "dense", 20);
        ASSERT_TRUE(cloud.is_object());
        EXPECT_GE(cloud["frames"].size(), 8u);
        for (const json& frame : cloud["frames"]) {
            EXPECT_EQ(frame["pnts"].size(), 5u) << frame["uri"];
            EXPECT_GT(frame["points"].get<int>(), 0) << frame["uri"];
        }
        const mapcheck::ErrorStats s = mapcheck::summarise(truth.pointErrors(pointsOf(cloud), e.margin));
        std::printf("points: %zu frames, %zu points checked: mean %.3f m, RMSE %.3f m, p95 %.3f m\n",
                    cloud["frames"].size(), s.count, s.mean, s.rmse, s.p95);
        ASSERT_GT(s.count, 1000u);
        EXPECT_LT(std::abs(s.mean), 0.5 * e.pairError);
        EXPECT_LT(s.rmse, e.pairError);
        EXPECT_LT(s.p95, 2.0 * e.pairError);
    }
}

// ---- the live dataset against the file dataset --------------------------------

TEST(SurveyMaps, LiveDatasetAgreesWithTheFileDataset) {
    testsupport::TempDir dir("survey-maps");
    const fs::path survey = writeSurvey(dir, true);
    const std::string lines = liveLines(survey, 12);
    ASSERT_EQ(testsupport::splitLines(lines).size(), 12u);
    const MapperRun file = runFileDataset(dir.file("file"), survey);
    const MapperRun live = runLiveDataset(dir.file("live"), lines);
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(file));
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(live));
    expectFramesLeftOutNamed(live, 12);

    mapcheck::SurveyComparison truth;
    std::string error;
    ASSERT_TRUE(truth.load((survey / "truth").string(), error)) << error;
    const auto fileDsm = mapcheck::listTileFiles((file.home / "dsm").string(), ".tiff");
    const auto liveDsm = mapcheck::listTileFiles((live.home / "dsm").string(), ".tiff");
    const auto fileDom = mapcheck::listTileFiles((file.home / "dom").string(), ".png");
    const auto liveDom = mapcheck::listTileFiles((live.home / "dom").string(), ".png");
    ASSERT_FALSE(fileDsm.empty());
    ASSERT_FALSE(liveDsm.empty());
    // The file dataset takes its zoom from the whole map, the live one from
    // its first frame; they compare at the finest zoom both hold.
    const int zoom = std::min(fileDsm.rbegin()->first, liveDsm.rbegin()->first);
    ASSERT_TRUE(liveDsm.count(zoom) && fileDsm.count(zoom));
    const Expectations e = expectations(truth, zoom);

    // Both see the same frames at the same poses; where the two maps have
    // heights, they may differ only where another frame won a cell: within
    // two pair errors (the difference of two estimates) for 95 % of the
    // cells, and on average within one.
    const e2e::HeightDifferences h = e2e::heightDifferences(fileDsm, liveDsm, zoom);
    const std::vector<double>& differences = h.values;
    ASSERT_GT(differences.size(), h.cellsOfA * 9 / 10) << "the maps cover different ground";
    const mapcheck::ErrorStats s = mapcheck::summarise(differences);
    std::printf("live - file DSM at zoom %d: %zu of %zu cells, mean %.3f m, p95 %.3f m\n", zoom, s.count, h.cellsOfA,
                s.mean, s.p95);
    EXPECT_LT(s.p95, 2.0 * std::sqrt(2.0) * e.pairError);
    EXPECT_LT(std::abs(s.mean), e.pairError);

    // The DOMs agree where both have colour: both blend the same frames in
    // the same order, and only a pose or a height the live path found a
    // little otherwise moves some colour. 95 % of the pixels keep within 8
    // levels.
    ASSERT_TRUE(fileDom.count(zoom) && liveDom.count(zoom));
    const mapcheck::DomMosaic fm = mapcheck::readDomMosaic(fileDom.at(zoom), zoom);
    const mapcheck::DomMosaic lm = mapcheck::readDomMosaic(liveDom.at(zoom), zoom);
    // The pixels that both mosaics span, in global pixels.
    const cv::Rect span = cv::Rect(fm.origin, fm.image.size()) & cv::Rect(lm.origin, lm.image.size());
    ASSERT_FALSE(span.empty());
    const cv::Mat fi = fm.image(span - fm.origin), li = lm.image(span - lm.origin);
    cv::Mat fa, la;
    cv::extractChannel(fi, fa, 3);
    cv::extractChannel(li, la, 3);
    const cv::Mat both = (fa == 255) & (la == 255);
    ASSERT_GT(cv::countNonZero(both), cv::countNonZero(opaque(fm)) * 9 / 10);
    // Compared a little blurred, so that a zoom that one run renders from a
    // finer one meets the other's own.
    cv::Mat fc, lc, diff;
    cv::cvtColor(fi, fc, cv::COLOR_BGRA2GRAY);
    cv::cvtColor(li, lc, cv::COLOR_BGRA2GRAY);
    cv::GaussianBlur(fc, fc, cv::Size(), 1.0);
    cv::GaussianBlur(lc, lc, cv::Size(), 1.0);
    cv::absdiff(fc, lc, diff);
    const double same = double(cv::countNonZero((diff <= 8) & both)) / cv::countNonZero(both);
    std::printf("live - file DOM: %.3f of the pixels within 8 levels\n", same);
    EXPECT_GT(same, 0.95);
}

// ---- two runs of the same survey ----------------------------------------------

// Two runs of the file dataset, each in a fresh home, write the same tiles:
// terrain fusion's four workers (from the environment, which the
// configuration store reads for a key the task does not set) finish in any
// order, but the tiles do not depend on it. Each tile as OpenCV decodes it.
TEST(SurveyMaps, RepeatRunsWriteTheSameTiles) {
    testsupport::TempDir dir("survey-maps");
    const fs::path survey = writeSurvey(dir, false);
    const std::vector<std::string> fourWorkers{"terrainfusion.threads=4"};
    const MapperRun first = runFileDataset(dir.file("first"), survey, fourWorkers);
    const MapperRun second = runFileDataset(dir.file("second"), survey, fourWorkers);
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(first));
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(second));
    for (const MapperRun* run : {&first, &second})
        EXPECT_NE(readFile(run->home / "log.txt").find("[TERRAINFUSION] 4 workers"), std::string::npos)
            << run->home;
    for (const char* kind : {"dom", "dsm"}) {
        SCOPED_TRACE(kind);
        const bool dom = std::string(kind) == "dom";
        auto a = mapcheck::listTileFiles((first.home / kind).string(), dom ? ".png" : ".tiff");
        auto b = mapcheck::listTileFiles((second.home / kind).string(), dom ? ".png" : ".tiff");
        for (auto* listing : {&a, &b})
            for (auto& entry : *listing)
                std::sort(entry.second.begin(), entry.second.end(), [](const auto& l, const auto& r) {
                    return std::make_pair(l.x, l.y) < std::make_pair(r.x, r.y);
                });
        ASSERT_FALSE(a.empty());
        ASSERT_EQ(a.size(), b.size());
        size_t tiles = 0, values = 0, apart = 0;
        double worst = 0.0;
        for (const auto& [zoom, names] : a) {
            ASSERT_TRUE(b.count(zoom)) << zoom;
            ASSERT_EQ(names.size(), b.at(zoom).size()) << zoom;
            for (size_t i = 0; i < names.size(); ++i) {
                const mapcheck::TileName& t = names[i];
                const mapcheck::TileName& u = b.at(zoom)[i];
                ASSERT_TRUE(t.x == u.x && t.y == u.y) << t.path << " against " << u.path;
                const cv::Mat p = cv::imread(t.path, cv::IMREAD_UNCHANGED), q = cv::imread(u.path, cv::IMREAD_UNCHANGED);
                ASSERT_FALSE(p.empty()) << t.path;
                ASSERT_EQ(p.size(), q.size()) << t.path;
                ASSERT_EQ(p.type(), q.type()) << t.path;
                ++tiles;
                if (dom) {
                    cv::Mat diff;
                    cv::absdiff(p, q, diff);
                    values += p.total() * p.channels();
                    apart += cv::countNonZero(diff.reshape(1) > 1);
                    double m = 0;
                    cv::minMaxLoc(diff.reshape(1), nullptr, &m);
                    worst = std::max(worst, m);
                } else {
                    for (int r = 0; r < p.rows; ++r)
                        for (int c = 0; c < p.cols; ++c) {
                            const float h = p.at<float>(r, c), k = q.at<float>(r, c);
                            ++values;
                            if ((h < -1e8f) != (k < -1e8f)) {
                                ++apart;
                            } else if (h > -1e8f) {
                                const double d = std::fabs(double(h) - double(k));
                                worst = std::max(worst, d);
                                apart += d > 1e-3;
                            }
                        }
                }
            }
        }
        std::printf("repeat runs, %s: %zu tiles, %zu of %zu values apart (DOM: more than 1 level, DSM: more than "
                    "1 mm or height against none), largest difference %g\n",
                    kind, tiles, apart, values, worst);
        EXPECT_EQ(apart, 0u);
    }
}

// ---- a live run that ends after half the frames -------------------------------

TEST(SurveyMaps, LiveRunEndedAfterHalfTheFramesLeavesReadableMapsOfThem) {
    testsupport::TempDir dir("survey-maps");
    const fs::path survey = writeSurvey(dir, true);
    const json records = json::parse(readFile(survey / "frames.json"));
    const size_t arrived = records.size() / 2;
    // End of input after half the frames ends the stream.
    const MapperRun run = runLiveDataset(dir.file("home"), liveLines(survey, arrived));
    ASSERT_NO_FATAL_FAILURE(expectDoneWithTilesets(run));

    mapcheck::SurveyComparison truth;
    std::string error;
    ASSERT_TRUE(truth.load((survey / "truth").string(), error)) << error;
    const auto dsm = mapcheck::listTileFiles((run.home / "dsm").string(), ".tiff");
    const auto dom = mapcheck::listTileFiles((run.home / "dom").string(), ".png");
    ASSERT_FALSE(dsm.empty());
    ASSERT_FALSE(dom.empty());
    expectItemsDescribeTiles(run, dom, dsm);
    {
        SCOPED_TRACE("every tile written is readable");
        expectDsmTilesReadByGdal(dsm);
        expectDomTilesReadByPngcheckAndOpenCv(dom);
        const json cloud = readPointCloud(run.home / "dense", 1000);
        ASSERT_TRUE(cloud.is_object());
        EXPECT_FALSE(cloud["frames"].empty());
        EXPECT_LE(cloud["frames"].size(), arrived);
    }

    // The heights cover the ground below the frames that arrived, and only
    // ground that one of them saw (within a cell of its image).
    const int finest = dsm.rbegin()->first;
    const Expectations e = expectations(truth, finest);
    const auto cells = mapcheck::readDsmCells(dsm.at(finest), finest, finest);
    const auto byIndex = cellsByIndex(cells);
    expectGroundBelowCamerasCovered(truth, byIndex, finest, arrived);
    const double slack = e.cell * records[0]["calibration"]["fx"].get<double>() / (e.height * 0.5);
    size_t unseen = 0;
    for (const mapcheck::DsmCell& c : cells) {
        const cv::Vec3d p = truth.local(c.position.latitude, c.position.longitude, c.height);
        bool seen = false;
        for (size_t i = 0; i < arrived && !seen; ++i) {
            const cv::Vec3d uv = project(truth, records[i], p);
            const json& cal = records[i]["calibration"];
            seen = uv[2] > 0 && uv[0] > -slack && uv[1] > -slack && uv[0] < cal["width"].get<double>() + slack &&
                   uv[1] < cal["height"].get<double>() + slack;
        }
        if (!seen) ++unseen;
    }
    EXPECT_EQ(unseen, 0u) << "of " << cells.size() << " cells";
    // And they are as true as those of the whole survey.
    const mapcheck::ErrorStats s = mapcheck::summarise(truth.heightErrors(cells, e.margin));
    std::printf("half run DSM zoom %d: %zu cells, mean %.3f m, RMSE %.3f m, p95 %.3f m\n", finest, s.count, s.mean,
                s.rmse, s.p95);
    EXPECT_LT(s.rmse, e.ruleBias + e.pairError);
}
