// Frame records into frames: the GPS vector, the camera parameters, the getters.
#include "dataset/frame_record.h"
#include "dataset/image_dataset.h"
#include "fw/camera.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <limits>

using nlohmann::json;
using datasettest::CapturedLog;

namespace {

// An empty live dataset is the simplest frame list to parse into.
struct Records {
    ImageDatasetLive dataset{-1};
    std::shared_ptr<TarnMapperFrame> parse(const std::string& text) { return parseFrameRecord(dataset, json::parse(text)); }
};

const char* kCalibration = R"("calibration":{"width":4000,"height":3000,"fx":3000,"fy":3001,"cx":2000,"cy":1500})";

std::string withCalibration(const std::string& members) {
    return std::string("{\"uri\":\"a.jpg\",") + kCalibration + (members.empty() ? "" : "," + members) + "}";
}

}  // namespace

TEST(FrameRecord, GpsVectorTable) {
    struct Case {
        std::string members;
        std::vector<double> gps;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {R"("gps":{"longitude":113.5,"latitude":22.25,"altitude":80})", {113.5, 22.25, 80, 5, 10, 5, 200, 20}},
        // incomplete or mistyped sub-objects count as missing
        {R"("gps":{"longitude":113.5,"latitude":22.25})", {}},
        {R"("gps":{"longitude":113.5,"latitude":22.25,"altitude":true})", {}},
        {R"("gps":[1,2,3])", {}},
        {R"("gps":{"longitude":1,"latitude":2,"altitude":3},"rtk_std":{"longitude":0.1,"latitude":0.2,"altitude":0.3},
            "relative_altitude":95.5)",
         {1, 2, 3, 0.1, 0.2, 0.3, 95.5, 10}},
        {R"("gps":{"longitude":1,"latitude":2,"altitude":3},"rtk_std":{"longitude":0.1,"latitude":0.2},"relative_altitude":"x")",
         {1, 2, 3, 5, 10, 5, 200, 20}},
        {R"("gps":{"longitude":1,"latitude":2,"altitude":3},"attitude":{"pitch":-90,"yaw":45,"roll":0})",
         {1, 2, 3, 5, 10, 5, 200, 20, -90, 45, 0, 5, 5, 5}},
        {R"("gps":{"longitude":1,"latitude":2,"altitude":3},"attitude":{"pitch":-90,"yaw":45,"roll":0},
            "attitude_std":{"pitch":1,"yaw":2,"roll":3})",
         {1, 2, 3, 5, 10, 5, 200, 20, -90, 45, 0, 1, 2, 3}},
        // an attitude without a position is not read
        {R"("attitude":{"pitch":-90,"yaw":45,"roll":0})", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.members);
        Records r;
        auto frame = r.parse(withCalibration(c.members));
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->gps(), c.gps);
    }
}

// A position off the earth is absent, named in a WARNING; the attitude
// and relative altitude stay. The limits themselves are positions.
TEST(FrameRecord, PositionOutOfRangeIsAbsent) {
    struct Case {
        const char* gps;
        bool absent;
    };
    const std::vector<Case> cases = {
        {R"({"longitude":113.9,"latitude":91,"altitude":80})", true},
        {R"({"longitude":113.9,"latitude":-90.5,"altitude":80})", true},
        {R"({"longitude":180.01,"latitude":22.5,"altitude":80})", true},
        {R"({"longitude":-181,"latitude":22.5,"altitude":80})", true},
        {R"({"longitude":113.9,"latitude":22.5,"altitude":1e9})", true},
        {R"({"longitude":113.9,"latitude":22.5,"altitude":-1000.5})", true},
        {R"({"longitude":180,"latitude":-90,"altitude":20000})", false},
        {R"({"longitude":-180,"latitude":90,"altitude":-1000})", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gps);
        CapturedLog log;
        Records r;
        auto frame = r.parse(std::string(R"({"uri":"f5.jpg",)") + kCalibration + R"(,"gps":)" + c.gps +
                             R"(,"relative_altitude":60,"attitude":{"pitch":-90,"yaw":45,"roll":0}})");
        ASSERT_TRUE(frame);
        pt::Point3d p;
        pt::Point2d h;
        EXPECT_EQ(frame->getGPSLLA(p), !c.absent);
        EXPECT_EQ(log.count("f5.jpg", fw::kWarning), c.absent ? 1u : 0u);
        EXPECT_TRUE(frame->getAttitude(p));
        EXPECT_TRUE(frame->getRelativeAltitude(h));
        EXPECT_EQ(h.x, 60.0);
    }
}

TEST(FrameRecord, FrameWithoutPositionAnswersNothing) {
    Records r;
    r.parse(withCalibration(""));
    auto frame = r.parse(withCalibration(""));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, 1u);
    EXPECT_EQ(frame->timestamp, 1701532801.0);
    EXPECT_EQ(frame->imagePath(), "a.jpg");
    EXPECT_EQ(frame->type(), "Frame");
    pt::Point3d p;
    pt::Point2d h;
    EXPECT_EQ(frame->gpsCount(), 0);
    EXPECT_FALSE(frame->getGPSLLA(p));
    EXPECT_FALSE(frame->getGPSLLASigma(p));
    EXPECT_FALSE(frame->getGPSECEF(p));
    EXPECT_FALSE(frame->getRelativeAltitude(h));
    EXPECT_EQ(frame->attitudeCount(), 0);
    EXPECT_FALSE(frame->getAttitude(p));
    EXPECT_TRUE(frame->label.empty());
    EXPECT_EQ(frame->cameraCount(), 1);

    std::vector<double> untouched = {7.0};
    frame->call("GetGPS", &untouched);
    EXPECT_EQ(untouched, std::vector<double>{7.0});
    std::string path;
    frame->call("GetImagePath", &path);
    EXPECT_EQ(path, "a.jpg");
    frame->call("GetImagePath", nullptr);
    frame->call("GetGPS", nullptr);
    frame->call("Unknown", &path);
}

TEST(FrameRecord, PositionGetters) {
    Records r;
    auto frame = r.parse(withCalibration(R"("gps":{"longitude":0,"latitude":0,"altitude":0})"));
    pt::Point3d p;
    ASSERT_TRUE(frame->getGPSECEF(p));
    // On the equator at the prime meridian the point lies on the x axis at the equatorial radius.
    EXPECT_NEAR(p.x, 6378137.0, 1e-6);
    EXPECT_NEAR(p.y, 0.0, 1e-9);
    EXPECT_NEAR(p.z, 0.0, 1e-9);
    pt::Point2d h;
    ASSERT_TRUE(frame->getRelativeAltitude(h));
    EXPECT_EQ(h.x, 200.0);
    EXPECT_EQ(h.y, 20.0);
    std::vector<double> gps;
    frame->call("GetGPS", &gps);
    EXPECT_EQ(gps.size(), 8u);

    // A longitude deviation of 10 or more: the position is stored but not offered.
    auto loose = r.parse(withCalibration(
        R"("gps":{"longitude":1,"latitude":2,"altitude":3},"rtk_std":{"longitude":10,"latitude":1,"altitude":1})"));
    EXPECT_EQ(loose->gpsCount(), 0);
    EXPECT_FALSE(loose->getGPSLLA(p));
    ASSERT_TRUE(loose->getGPSLLASigma(p));
    EXPECT_EQ(p.x, 10.0);
}

TEST(FrameRecord, AttitudeByVectorLength) {
    struct Case {
        std::vector<double> gps;
        bool attitude;
        pt::Point3d value, sigma;
        bool relative;
    };
    std::vector<double> v11 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    std::vector<double> v11bad = v11;
    v11bad[8] = 20.0;
    std::vector<double> v12 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 19.5, 11, 12};
    std::vector<double> v14 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    std::vector<double> v14zero = v14;
    v14zero[11] = 0.0;
    std::vector<double> v8wide = {1, 2, 3, 4, 5, 6, 7, 100};
    const std::vector<Case> cases = {
        {v11, true, {6, 7, 8}, {9, 10, 11}, false},   {v11bad, false, {}, {}, false},
        {v12, true, {7, 8, 9}, {19.5, 11, 12}, false}, {v14, true, {9, 10, 11}, {12, 13, 14}, true},
        {v14zero, false, {}, {}, true},                {v8wide, false, {}, {}, false},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, false, {}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gps.size());
        TarnMapperFrame frame(0, "x", 0.0, c.gps, {100, 100, 50, 50, 50, 50});
        pt::Point3d value, sigma;
        EXPECT_EQ(frame.getAttitude(value), c.attitude);
        EXPECT_EQ(frame.getAttitudeSigma(sigma), c.attitude);
        EXPECT_EQ(frame.attitudeCount(), c.gps.size() == 11 || c.gps.size() == 12 || c.gps.size() == 14 ? 1 : 0);
        if (c.attitude) {
            EXPECT_EQ(value.x, c.value.x);
            EXPECT_EQ(value.z, c.value.z);
            EXPECT_EQ(sigma.x, c.sigma.x);
            EXPECT_EQ(sigma.z, c.sigma.z);
        }
        pt::Point2d h;
        EXPECT_EQ(frame.getRelativeAltitude(h), c.relative);
    }
}

TEST(FrameRecord, TimestampsAndCalibration) {
    Records r;
    auto exact = r.parse(withCalibration(R"("timestamp":1733650000.5)"));
    EXPECT_EQ(exact->timestamp, 1733650000.5);
    auto negative = r.parse(withCalibration(R"("timestamp":-5)"));
    EXPECT_EQ(negative->timestamp, 1701532801.0);
    auto text = r.parse(withCalibration(R"("timestamp":"12")"));
    EXPECT_EQ(text->timestamp, 1701532802.0);

    auto partial = r.parse(R"({"uri":"b","calibration":{"width":640,"height":480,"fx":500,"fy":500,"cx":320,"cy":240,"k1":0.1}})");
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->getCamera(0)->parameterVector(), (std::vector<double>{640, 480, 500, 500, 320, 240, 0, 0, 0, 0, 0}));
    auto full = r.parse(
        R"({"uri":"b","calibration":{"width":640,"height":480,"fx":500,"fy":500,"cx":320,"cy":240,"k1":0.1,"k2":0.2,"p1":0.3,"p2":0.4,"k3":0.5}})");
    EXPECT_EQ(full->getCamera(0)->parameterVector(),
              (std::vector<double>{640, 480, 500, 500, 320, 240, 0.1, 0.2, 0.3, 0.4, 0.5}));
    EXPECT_EQ(full->getCamera(7)->typeName(), "OpenCV");
}

TEST(FrameRecord, RefusedRecordsAndTheirMessages) {
    struct Case {
        std::string text;
        std::string error;  // "" when nothing is logged
    };
    const std::vector<Case> cases = {
        {R"({"calibration":{}})", "Failed to load frame: "},
        {R"({"uri":5})", "Failed to load frame: "},
        {R"([1])", "Failed to load frame: "},
        {R"({"uri":"a"})", "Failed to load camera calibration: "},
        {R"({"uri":"a","calibration":[1,2,3,4,5,6]})", "Failed to load camera calibration: "},
        {R"({"uri":"a","calibration":{"width":1,"height":1,"fx":1,"fy":1,"cx":1}})", ""},
        {R"({"uri":"a","calibration":{"width":1,"height":1,"fx":1,"fy":1,"cx":1,"cy":"1"}})", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Records r;
        CapturedLog log;
        EXPECT_FALSE(r.parse(c.text));
        EXPECT_TRUE(r.dataset.frames().empty());
        const auto errors = log.texts(fw::kError);
        if (c.error.empty()) {
            EXPECT_TRUE(errors.empty());
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], c.error);
        }
    }
}

// Values that make no camera refuse the record, naming the key, in the
// refusal and in the ERROR; the next record takes the id the refused one
// would have had.
TEST(FrameRecord, CalibrationValuesThatMakeNoCamera) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* key;
        double value;
        const char* named;  // the refusal's text after the common part
    };
    const std::vector<Case> cases = {
        {"width", -5, "width is not a positive number of at most 1000000 (-5)"},
        {"width", 2e6, "width is not a positive number of at most 1000000 (2e+06)"},
        {"height", 0, "height is not a positive number of at most 1000000 (0)"},
        {"fx", 0, "fx is not a positive number of at most 10000000 (0)"},
        {"fx", 1e300, "fx is not a positive number of at most 10000000 (1e+300)"},
        {"fy", -1, "fy is not a positive number of at most 10000000 (-1)"},
        {"fy", nan, "fy is not a finite number (nan)"},
        {"cx", inf, "cx is not a finite number (inf)"},
        {"cy", -1e308, "cy is not a number of at most 10000000 in size (-1e+308)"},
        {"k1", nan, "k1 is not a finite number (nan)"},
        {"k3", -inf, "k3 is not a finite number (-inf)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.value));
        json record = json::parse(R"({"uri":"a","calibration":{"width":640,"height":480,"fx":500,"fy":500,"cx":320,
            "cy":240,"k1":0,"k2":0,"p1":0,"p2":0,"k3":0}})");
        record["calibration"][c.key] = c.value;
        Records r;
        CapturedLog log;
        std::string refusal;
        EXPECT_FALSE(parseFrameRecord(r.dataset, record, refusal));
        EXPECT_EQ(refusal, std::string("Failed to load camera calibration: ") + c.named);
        EXPECT_EQ(log.texts(fw::kError), std::vector<std::string>{refusal});
        auto next = r.parse(withCalibration(""));
        ASSERT_TRUE(next);
        EXPECT_EQ(next->id, 0u);
    }
    // The bounds themselves and a principal point outside the image still make a camera.
    Records r;
    EXPECT_TRUE(r.parse(R"({"uri":"a","calibration":{"width":1000000,"height":1,"fx":1e7,"fy":0.5,"cx":-1e7,"cy":1e7}})"));
}

// A number beyond a double in the calibration names its key; elsewhere the
// parser's own exception stands.
TEST(FrameRecord, NumbersTooLargeForADouble) {
    CapturedLog log;
    json record;
    std::string refusal;
    EXPECT_FALSE(parseFrameRecordText(R"({"uri":"a","gps":{"altitude":1},"calibration":{"width":640,"cx":-1e400}})",
                                      record, refusal));
    EXPECT_EQ(refusal, "Failed to load camera calibration: cx is not a finite number (-1e400)");
    EXPECT_EQ(log.texts(fw::kError), std::vector<std::string>{refusal});
    EXPECT_THROW(parseFrameRecordText(R"({"uri":"a","gps":{"altitude":1e400}})", record, refusal), json::out_of_range);
    EXPECT_THROW(parseFrameRecordText(R"({"uri":"a",)", record, refusal), json::parse_error);
    EXPECT_TRUE(parseFrameRecordText(withCalibration(""), record, refusal));
    EXPECT_EQ(record["calibration"]["cy"], 1500);
}

TEST(FrameRecord, ImagesUnderTheFrame) {
    TarnMapperFrame frame(3, "x", 1.0, {}, {4, 2, 1, 1, 2, 1});
    EXPECT_TRUE(frame.getImage(0, 0).empty());
    cv::Mat pixels(2, 4, CV_8UC1, cv::Scalar(9));
    EXPECT_TRUE(frame.setImage(fw::GImage(pixels), 1, 0));
    EXPECT_TRUE(frame.getImage(0, 0).empty());  // a second image is kept apart
    EXPECT_TRUE(frame.setImage(fw::GImage(pixels), 0, 0));
    cv::Mat back = frame.getImage(5, 5);
    EXPECT_EQ(back.data, pixels.data);  // shares the pixels
    frame.call("ReleaseImage", nullptr);
    EXPECT_TRUE(frame.getImage(0, 0).empty());
}
