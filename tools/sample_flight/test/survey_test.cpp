// The survey with relief: written the same twice; its frame records place
// the targets of the ground truth on their images; the forward overlap is as
// stated; the metadata embedded in the JPEGs, read by exiftool and by
// image_meta, is the frame record. The flat surveys: their noise lies in the
// records only.
#include "fw/geodetic.h"
#include "sfm/gimbal_pose.h"
#include "survey/local_frame.h"
#include "survey/relief_scene.h"
#include "survey/survey_plan.h"
#include "survey/survey_truth.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

using nlohmann::json;
using testsupport::runProcess;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(fs::file_size(path), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

cv::Vec3d ecef(double latitude, double longitude, double height) {
    const pt::Point3d p = fw::geodeticToECEF(latitude, longitude, height);
    return {p.x, p.y, p.z};
}

// Pixel of an earth-centred point in a frame placed by its record; z <= 0 behind it.
cv::Vec3d project(const json& record, const cv::Vec3d& point) {
    const json& g = record["gps"];
    const json& a = record["attitude"];
    const json& c = record["calibration"];
    const cv::Matx33d R = sfm::cameraToEcef(g["latitude"], g["longitude"], a["pitch"], a["yaw"], a["roll"]);
    const cv::Vec3d p = R.t() * (point - ecef(g["latitude"], g["longitude"], g["altitude"]));
    return {c["fx"].get<double>() * p[0] / p[2] + c["cx"].get<double>(),
            c["fy"].get<double>() * p[1] / p[2] + c["cy"].get<double>(), p[2]};
}

// The small survey with embedded metadata, written twice into two folders
// (once for the whole suite: CTest runs every test in a process of its own).
class Survey : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<testsupport::TempDir>("survey");
        for (const char* name : {"a", "b"}) {
            const auto r = runProcess(
                {testsupport::kSampleFlightPath, "--survey", "small", "--embed-metadata", dir_->file(name)}, "", 300.0);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            ASSERT_EQ(r.out, dir_->file(name) + "/frames.json\n");
        }
        records_ = json::parse(readFile(dir_->file("a") + "/frames.json"));
        std::string error;
        ASSERT_TRUE(truth_.load(dir_->file("a") + "/truth", error)) << error;
    }
    static void TearDownTestSuite() { dir_.reset(); }
    void SetUp() override { ASSERT_EQ(records_.size(), 12u) << "the survey was not written"; }

    // The checks of one survey, run by one test so that it is written once.
    void SameBytesTwice();
    void FramesAreLargeEnoughToBeScaled();
    void RecordsPlaceTheTargetsOnTheirImages();
    void ForwardOverlapIsAsStated();
    void EmbeddedMetadataIsTheFrameRecord();
    void ImageMetaPrintsTheFrameRecord();

    static std::unique_ptr<testsupport::TempDir> dir_;
    static json records_;
    static survey::SurveyTruth truth_;
};

std::unique_ptr<testsupport::TempDir> Survey::dir_;
json Survey::records_;
survey::SurveyTruth Survey::truth_;

}  // namespace

void Survey::SameBytesTwice() {
    const fs::path a = dir_->file("a"), b = dir_->file("b");
    std::map<std::string, std::string> first, second;
    for (const auto& entry : fs::recursive_directory_iterator(a))
        if (entry.is_regular_file()) first[fs::relative(entry.path(), a).string()] = readFile(entry.path());
    for (const auto& entry : fs::recursive_directory_iterator(b))
        if (entry.is_regular_file()) second[fs::relative(entry.path(), b).string()] = readFile(entry.path());
    ASSERT_EQ(first.size(), second.size());
    ASSERT_EQ(first.size(), 12u + 1 + 4);  // frames, dataset, truth
    for (auto& [name, bytes] : first) {
        ASSERT_TRUE(second.count(name)) << name;
        std::string other = second[name];
        if (name == "frames.json") {
            // The records name their images by absolute path.
            for (size_t at; (at = other.find(b.string())) != std::string::npos;) other.replace(at, b.string().size(), a.string());
        }
        EXPECT_TRUE(bytes == other) << name;
    }
}

void Survey::FramesAreLargeEnoughToBeScaled() {
    ASSERT_EQ(records_.size(), 12u);
    for (const json& record : records_) {
        const cv::Mat image = cv::imread(record["uri"].get<std::string>(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(image.empty()) << record["uri"];
        EXPECT_EQ(image.type(), CV_8UC3);
        EXPECT_EQ(image.cols, record["calibration"]["width"].get<double>());
        EXPECT_EQ(image.rows, record["calibration"]["height"].get<double>());
        EXPECT_GT(image.cols, 960);
    }
}

// Every target of the truth, projected with the records' poses, lands on the
// corner where its four squares meet in the image.
void Survey::RecordsPlaceTheTargetsOnTheirImages() {
    const json& targets = truth_.description()["targets"];
    ASSERT_GE(targets.size(), 6u);
    std::map<std::string, int> seen;
    int observations = 0;
    for (const json& record : records_) {
        cv::Mat grey = cv::imread(record["uri"].get<std::string>(), cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(grey.empty());
        for (const json& t : targets) {
            const cv::Vec3d p = project(record, ecef(t["latitude"], t["longitude"], t["height"]));
            if (p[2] <= 0 || p[0] < 20 || p[1] < 20 || p[0] > grey.cols - 21 || p[1] > grey.rows - 21) continue;
            const std::string what = record["uri"].get<std::string>() + " " + t["name"].get<std::string>();
            // Opposite quadrants alike, neighbouring ones black and white.
            const auto mean = [&](int dx, int dy) {
                return cv::mean(grey(cv::Rect(static_cast<int>(p[0]) + dx, static_cast<int>(p[1]) + dy, 4, 4)))[0];
            };
            const double q[4] = {mean(2, 2), mean(-6, 2), mean(-6, -6), mean(2, -6)};
            EXPECT_LT(std::abs(q[0] - q[2]), 40) << what;
            EXPECT_LT(std::abs(q[1] - q[3]), 40) << what;
            EXPECT_GT(std::abs(q[0] - q[1]), 120) << what;
            std::vector<cv::Point2f> corner{cv::Point2f(static_cast<float>(p[0]), static_cast<float>(p[1]))};
            cv::cornerSubPix(grey, corner, cv::Size(5, 5), cv::Size(-1, -1),
                             cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 50, 0.001));
            EXPECT_LT(std::hypot(corner[0].x - p[0], corner[0].y - p[1]), 0.5) << what;
            ++seen[t["name"]];
            ++observations;
        }
    }
    EXPECT_GE(observations, 30);
    // Both roofs and the hilltop are seen: their heights in the truth hold.
    for (const char* name : {"roof_a", "roof_b", "hilltop", "embankment", "centre"}) EXPECT_GE(seen[name], 2) << name;
    for (const json& t : targets) {
        const double h = truth_.heightAt(t["east"], t["north"]);
        if (!std::isnan(h)) {
            EXPECT_NEAR(h, t["up"].get<double>(), 0.01) << t["name"];
        }
    }
}

void Survey::ForwardOverlapIsAsStated() {
    const json& flight = truth_.description()["flight"];
    const double stated = flight["forward_overlap"];
    EXPECT_GE(stated, 0.70);
    EXPECT_LE(stated, 0.80);
    const int strips = flight["strips"], perStrip = flight["frames_per_strip"];
    ASSERT_EQ(records_.size(), static_cast<size_t>(strips * perStrip));
    EXPECT_GE(strips, 2);
    const double takeoff = truth_.description()["takeoff_height"];
    double sum = 0.0;
    int pairs = 0;
    for (int s = 0; s < strips; ++s)
        for (int j = 0; j + 1 < perStrip; ++j) {
            const json& r0 = records_[s * perStrip + j];
            const json& r1 = records_[s * perStrip + j + 1];
            const cv::Vec3d c0 = truth_.frame().fromGeodetic(r0["gps"]["latitude"], r0["gps"]["longitude"], r0["gps"]["altitude"]);
            const cv::Vec3d c1 = truth_.frame().fromGeodetic(r1["gps"]["latitude"], r1["gps"]["longitude"], r1["gps"]["altitude"]);
            // Strips run east and west; the image's height lies along them.
            const double footprint = ((c0[2] + c1[2]) / 2 - takeoff) * r0["calibration"]["height"].get<double>() /
                                     r0["calibration"]["fy"].get<double>();
            const double overlap = 1.0 - std::abs(c1[0] - c0[0]) / footprint;
            EXPECT_GE(overlap, 0.70) << s << " " << j;
            EXPECT_LE(overlap, 0.80) << s << " " << j;
            EXPECT_LT(std::abs(c1[1] - c0[1]), 2.0) << "same strip";
            sum += overlap;
            ++pairs;
        }
    EXPECT_NEAR(sum / pairs, stated, 0.01);
    // Neighbouring strips overlap side by side as well.
    const json& a = records_[0];
    const json& b = records_[perStrip];
    const cv::Vec3d ca = truth_.frame().fromGeodetic(a["gps"]["latitude"], a["gps"]["longitude"], a["gps"]["altitude"]);
    const cv::Vec3d cb = truth_.frame().fromGeodetic(b["gps"]["latitude"], b["gps"]["longitude"], b["gps"]["altitude"]);
    const double across = (ca[2] - takeoff) * a["calibration"]["width"].get<double>() / a["calibration"]["fx"].get<double>();
    EXPECT_GT(1.0 - std::abs(ca[1] - cb[1]) / across, 0.5);
}

void Survey::EmbeddedMetadataIsTheFrameRecord() {
    std::vector<std::string> args{testsupport::kExiftoolPath, "-n", "-j", "-G1"};
    for (const json& record : records_) args.push_back(record["uri"]);
    const auto r = runProcess(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json read = json::parse(r.out);
    ASSERT_EQ(read.size(), records_.size());
    const auto num = [](const json& v) { return v.is_string() ? std::stod(v.get<std::string>()) : v.get<double>(); };
    for (size_t i = 0; i < read.size(); ++i) {
        const json& x = read[i];
        const json& rec = records_[i];
        const std::string what = rec["uri"];
        EXPECT_EQ(x["SourceFile"], rec["uri"]);
        EXPECT_EQ(x["IFD0:Make"], "DJI") << what;
        EXPECT_EQ(num(x["ExifIFD:ExifImageWidth"]), rec["calibration"]["width"].get<double>()) << what;
        EXPECT_EQ(num(x["ExifIFD:ExifImageHeight"]), rec["calibration"]["height"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:Latitude"]), rec["gps"]["latitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:Longitude"]), rec["gps"]["longitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:AbsoluteAltitude"]), rec["gps"]["altitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:RelativeAltitude"]), rec["relative_altitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:GimbalPitchDegree"]), rec["attitude"]["pitch"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:GimbalYawDegree"]), rec["attitude"]["yaw"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:GimbalRollDegree"]), rec["attitude"]["roll"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:RtkStdLon"]), rec["rtk_std"]["longitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:RtkStdLat"]), rec["rtk_std"]["latitude"].get<double>()) << what;
        EXPECT_EQ(num(x["XMP-drone-dji:RtkStdHgt"]), rec["rtk_std"]["altitude"].get<double>()) << what;
        const std::string dewarp = x["XMP-drone-dji:DewarpData"];
        EXPECT_EQ(std::stod(dewarp.substr(dewarp.find(';') + 1)), rec["calibration"]["fx"].get<double>()) << what;
        // The EXIF position, to the precision of its rationals.
        EXPECT_NEAR(num(x["GPS:GPSLatitude"]), rec["gps"]["latitude"].get<double>(), 1e-7) << what;
        EXPECT_NEAR(num(x["GPS:GPSLongitude"]), rec["gps"]["longitude"].get<double>(), 1e-7) << what;
        EXPECT_NEAR(num(x["GPS:GPSAltitude"]), rec["gps"]["altitude"].get<double>(), 1e-3) << what;
        // The capture time, in UTC.
        std::tm tm{};
        ASSERT_TRUE(strptime(x["IFD0:ModifyDate"].get<std::string>().c_str(), "%Y:%m:%d %H:%M:%S", &tm)) << what;
        EXPECT_EQ(timegm(&tm), rec["timestamp"].get<int64_t>()) << what;
    }
}

// The line that image_meta prints for a frame carries the frame's record:
// the live dataset and the file dataset describe the same survey.
void Survey::ImageMetaPrintsTheFrameRecord() {
    setenv("TZ", "UTC", 1);
    for (const json& record : records_) {
        const std::string uri = record["uri"];
        // The host gives image_meta the head of the file.
        const auto r =
            runProcess({testsupport::kImageMetaPath, testsupport::base64Encode(uri)}, readFile(uri).substr(0, 102400));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto lines = testsupport::splitLines(r.out);
        ASSERT_EQ(lines.size(), 1u) << r.out;
        EXPECT_EQ(json::parse(json::parse(lines[0])["frame"].get<std::string>()), record) << lines[0];
    }
}

TEST_F(Survey, WrittenAlikeTwiceAndTrueToItsRecords) {
    {
        SCOPED_TRACE("SameBytesTwice");
        SameBytesTwice();
    }
    {
        SCOPED_TRACE("FramesAreLargeEnoughToBeScaled");
        FramesAreLargeEnoughToBeScaled();
    }
    {
        SCOPED_TRACE("RecordsPlaceTheTargetsOnTheirImages");
        RecordsPlaceTheTargetsOnTheirImages();
    }
    {
        SCOPED_TRACE("ForwardOverlapIsAsStated");
        ForwardOverlapIsAsStated();
    }
    {
        SCOPED_TRACE("EmbeddedMetadataIsTheFrameRecord");
        EmbeddedMetadataIsTheFrameRecord();
    }
    {
        SCOPED_TRACE("ImageMetaPrintsTheFrameRecord");
        ImageMetaPrintsTheFrameRecord();
    }
}

// The flat surveys: the same frames from the same true shots; "flat" records
// them as they are, "flat-noisy" with errors of the stated sigmas, and says so.
TEST(FlatSurveys, NoiseLiesInTheRecordsOnly) {
    const testsupport::TempDir dir("survey-flat");
    std::map<std::string, json> records;
    for (const char* name : {"flat", "flat-noisy"}) {
        const auto r = runProcess({testsupport::kSampleFlightPath, "--survey", name, dir.file(name)}, "", 300.0);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        records[name] = json::parse(readFile(dir.file(name) + "/frames.json"));
        ASSERT_EQ(records[name].size(), 30u) << name;
    }
    survey::SurveyTruth truth;
    std::string error;
    ASSERT_TRUE(truth.load(dir.file("flat-noisy") + "/truth", error)) << error;
    const json& d = truth.description();
    EXPECT_EQ(d["ground"], "flat");
    EXPECT_EQ(d["flight"]["height"], 100.0);
    EXPECT_EQ(d["camera"]["fx"], 1000.0);
    EXPECT_TRUE(d["buildings"].empty());
    EXPECT_EQ(cv::countNonZero(truth.roofs()), 0);
    double lo = 0, hi = 0;
    cv::minMaxLoc(truth.height(), &lo, &hi);
    EXPECT_NEAR(lo, d["ground_height"].get<double>(), 1e-4);
    EXPECT_NEAR(hi, d["ground_height"].get<double>(), 1e-4);

    // Frame by frame: the same image; the exact record at the true shot,
    // the noisy one off by its errors.
    std::vector<double> horizontal, vertical, attitude;
    for (size_t i = 0; i < 30; ++i) {
        const json& exact = records["flat"][i];
        const json& noisy = records["flat-noisy"][i];
        const json& shot = d["shots"][i];
        SCOPED_TRACE(shot["image"].get<std::string>());
        EXPECT_EQ(readFile(exact["uri"].get<std::string>()), readFile(noisy["uri"].get<std::string>()));
        const cv::Vec3d truePosition(shot["east"], shot["north"], shot["up"]);
        const auto local = [&](const json& record) {
            const json& g = record["gps"];
            return truth.frame().fromGeodetic(g["latitude"], g["longitude"], g["altitude"]);
        };
        EXPECT_LT(cv::norm(local(exact) - truePosition), 0.002);
        const cv::Vec3d off = local(noisy) - truePosition;
        horizontal.insert(horizontal.end(), {off[0], off[1]});
        vertical.push_back(off[2]);
        for (const char* angle : {"pitch", "yaw", "roll"}) {
            EXPECT_NEAR(exact["attitude"][angle].get<double>(), shot[angle].get<double>(), 1e-9) << angle;
            attitude.push_back(noisy["attitude"][angle].get<double>() - shot[angle].get<double>());
        }
        EXPECT_NEAR(noisy["relative_altitude"].get<double>(),
                    noisy["gps"]["altitude"].get<double>() - d["takeoff_height"].get<double>(), 0.002);
        EXPECT_EQ(exact["rtk_std"], json({{"longitude", 0.02}, {"latitude", 0.02}, {"altitude", 0.05}}));
        EXPECT_EQ(noisy["rtk_std"], json({{"longitude", 2.0}, {"latitude", 2.0}, {"altitude", 3.0}}));
        EXPECT_EQ(noisy["attitude_std"], json({{"pitch", 1.0}, {"yaw", 1.0}, {"roll", 1.0}}));
    }
    const auto rms = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) sum += x * x;
        return std::sqrt(sum / v.size());
    };
    std::printf("record errors: horizontal %.2f m, vertical %.2f m, attitude %.2f degrees (RMS)\n", rms(horizontal),
                rms(vertical), rms(attitude));
    EXPECT_NEAR(rms(horizontal), 2.0, 0.5);
    EXPECT_NEAR(rms(vertical), 3.0, 0.9);
    EXPECT_NEAR(rms(attitude), 1.0, 0.25);
}

TEST(SurveyProgram, UsageErrors) {
    const testsupport::TempDir dir("survey-usage");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--survey", "medium", dir.file("x")}, {"--survey", "small"},
          {"--embed-metadata", dir.file("x")}}) {
        std::vector<std::string> argv{testsupport::kSampleFlightPath};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = runProcess(argv);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("usage: sample_flight"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("x")));
    }
}

// --k1: every frame is the pinhole view seen through a lens with that
// radial distortion, so that OpenCV's undistortion gives the pinhole view
// back; the truth carries k1, the records still say none.
TEST(SurveyLens, RenderedWithRadialDistortion) {
    constexpr double kK1 = -0.05;
    survey::SurveyPlan plan;
    ASSERT_TRUE(survey::SurveyPlan::byName("small", plan));
    const cv::Vec2d half = plan.halfExtent();
    const survey::ReliefScene scene(-half[0], -half[1], half[0], half[1], 0.1, plan.seed);
    const survey::LocalFrame frame(plan.latitude, plan.longitude);
    const survey::SurveyShot s = plan.shots(survey::ReliefScene::takeoffHeight())[3];
    const cv::Vec3d C = frame.fromGeodetic(s.latitude, s.longitude, s.altitude);
    const cv::Matx33d R = frame.cameraToLocal(s.latitude, s.longitude, s.pitch, s.yaw, s.roll);
    const cv::Size size(plan.camera.width, plan.camera.height);
    const cv::Mat K(plan.camera.K());
    const cv::Mat pinhole = scene.render(plan.camera.K(), R, C, size);
    const cv::Mat bent = scene.render(plan.camera.K(), R, C, size, nullptr, kK1);
    cv::Mat undone;
    cv::undistort(bent, undone, K, std::vector<double>{kK1, 0.0, 0.0, 0.0});
    // Within the frame's inner part (the undistortion samples the border's last pixels).
    const cv::Rect inner(size.width / 20, size.height / 20, size.width * 9 / 10, size.height * 9 / 10);
    const double bentOff = cv::norm(bent(inner), pinhole(inner), cv::NORM_L1) / inner.area();
    const double undoneOff = cv::norm(undone(inner), pinhole(inner), cv::NORM_L1) / inner.area();
    std::cout << "mean difference from the pinhole view: bent " << bentOff << ", undistorted " << undoneOff << std::endl;
    EXPECT_GT(bentOff, 5.0 * undoneOff);
    // The centre stays put: the images agree there without undistortion.
    const cv::Rect centre(size.width / 2 - 20, size.height / 2 - 20, 40, 40);
    EXPECT_LT(cv::norm(bent(centre), pinhole(centre), cv::NORM_L1) / centre.area(), undoneOff + 1.0);

    const testsupport::TempDir dir("survey-lens");
    const auto r = runProcess({testsupport::kSampleFlightPath, "--survey", "small", "--k1", "-0.05", dir.file("s")}, "", 300.0);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json truth = json::parse(readFile(dir.file("s") + "/truth/truth.json"));
    EXPECT_EQ(truth["camera"]["k1"].get<double>(), kK1);
    const json records = json::parse(readFile(dir.file("s") + "/frames.json"));
    ASSERT_EQ(records.size(), 12u);
    for (const json& record : records) EXPECT_EQ(record["calibration"]["k1"].get<double>(), 0.0);
    const cv::Mat written = cv::imread(records[3]["uri"].get<std::string>(), cv::IMREAD_COLOR);
    ASSERT_EQ(written.size(), size);
    EXPECT_LT(cv::norm(written(inner), bent(inner), cv::NORM_L1) / inner.area(), 0.5 * bentOff) << "frame 3 is the bent view";

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--k1", "-0.05", dir.file("x")},
                                                 {"--survey", "small", "--k1", "bent", dir.file("x")},
                                                 {"--survey", "small", "--k1", "2", dir.file("x")},
                                                 {"--survey", "small", dir.file("x"), "--k1"}}) {
        std::vector<std::string> argv{testsupport::kSampleFlightPath};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto u = runProcess(argv);
        EXPECT_EQ(u.exitCode, 1);
        EXPECT_NE(u.err.find("[--k1 K]"), std::string::npos) << u.err;
        EXPECT_FALSE(fs::exists(dir.file("x")));
    }
}

// The local frame of the surveys keeps the geodetic positions it has recorded
// (within a nanodegree and a millimetre), and goes back to its local points.
TEST(SurveyLocalFrame, KeepsItsRecordedGeodeticPositions) {
    struct Case {
        cv::Vec3d local, geodetic;
    };
    const Case cases[] = {
        {{0, 0, 0}, {22.5, 113.9, 0.0}},
        {{350, -220, 120}, {22.498013313698014, 113.903401371977, 120.01341232471168}},
        {{-800, 600, 95.5}, {22.505417968265053, 113.89222499184359, 95.578515430912375}},
        {{1500, 1500, -30}, {22.513544990710418, 113.91457927854368, -29.646389761939645}},
    };
    const survey::LocalFrame frame(22.5, 113.9);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.local);
        const cv::Vec3d g = frame.toGeodetic(c.local);
        EXPECT_NEAR(g[0], c.geodetic[0], 1e-9);
        EXPECT_NEAR(g[1], c.geodetic[1], 1e-9);
        EXPECT_NEAR(g[2], c.geodetic[2], 1e-3);
        const cv::Vec3d back = frame.fromGeodetic(c.geodetic[0], c.geodetic[1], c.geodetic[2]);
        EXPECT_LT(cv::norm(back - c.local), 1e-3);
    }
}
