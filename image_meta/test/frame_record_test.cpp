// The frame record built from a filled store, the dewarp text, the date
// and the output line.
#include "image_meta/frame_record.h"

#include "fw/settings.h"
#include "image_meta/store_access.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using imagemeta::buildFrameRecord;
using imagemeta::dateToTimestamp;
using imagemeta::parseDewarpData;
using imagemeta::storeDouble;
using imagemeta::storeInt;
using imagemeta::storeString;
using nlohmann::json;

namespace {

class FrameRecord : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    fw::Settings store;
};

void storeGps(fw::Settings& store) {
    storeDouble(store, "Longitude", 113.5);
    storeDouble(store, "Latitude", 22.25);
    storeDouble(store, "Altitude", 120.5);
}

void storeAttitude(fw::Settings& store) {
    storeDouble(store, "CameraPitch", -90);
    storeDouble(store, "CameraYaw", 45);
    storeDouble(store, "CameraRoll", 0.5);
}

}  // namespace

TEST(DewarpData, NumbersAfterTheFirstSemicolon) {
    struct Case {
        std::string text;
        std::vector<double> numbers;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"1,2,3", {}},
        {"label;", {}},
        {"2018-09-01;3650.5,3650.5,-12.25", {3650.5, 3650.5, -12.25}},
        {"a;1;2,3", {3}},  // "1;2" is no number
        {";1,,x,2, 3 ,4abc,1e999,nan,inf,0x10,1.5.1,-5", {1, 2, 3, -5}},
    };
    for (const auto& c : cases) {
        std::vector<double> v;
        parseDewarpData(c.text, v);
        EXPECT_EQ(v, c.numbers) << c.text;
    }
}

TEST_F(FrameRecord, DateTimestamp) {
    const std::vector<std::pair<std::string, int64_t>> cases = {
        {"2021:03:04 05:06:07", 1614834367},
        {"2021-03-04 05:06:07", 1614834367},
        {"2021-03-04T05:06:07", 1614816000},  // reading stops before "T"
        {"2021:03", 1614470400},              // day 0: the last day of February
        {"  2021 : 03", 1606694400},          // only the year: December 2020, day 0
        {"junk", 1575072000},                 // 2020, month 0, day 0: 2019-11-30
        {"1970:01:01 00:00:00", 0},
        {"99999999999:01:01 00:00:00", -1},
        {"2021:03:04 05:06:99999999999", -1},
        {"2147483647:2147483647:2147483647 2147483647:2147483647:2147483647", -1},
    };
    for (const auto& [date, expected] : cases) {
        EXPECT_EQ(dateToTimestamp(date), expected) << date;
    }
}

TEST_F(FrameRecord, NothingStoredGivesUriAndClock) {
    const json r = buildFrameRecord(store, "/data/a.jpg");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r["uri"], "/data/a.jpg");
    ASSERT_TRUE(r["timestamp"].is_number_float());
    const double before = r["timestamp"].get<double>();
    const json again = buildFrameRecord(store, "x");
    EXPECT_GE(again["timestamp"].get<double>(), before);
}

TEST_F(FrameRecord, TimestampFromTheDateUnlessTheStoreHasOne) {
    storeString(store, "DateTime", "2021-03-04 05:06:07");
    json r = buildFrameRecord(store, "u");
    ASSERT_TRUE(r["timestamp"].is_number_integer());
    EXPECT_EQ(r["timestamp"].get<int64_t>(), 1614834367);

    fw::Settings withNumber;
    storeString(withNumber, "DateTime", "2021-03-04 05:06:07");
    withNumber.setvar("timestamp", "5", true);
    r = buildFrameRecord(withNumber, "u");
    EXPECT_TRUE(r["timestamp"].is_number_float());
}

TEST_F(FrameRecord, CalibrationFromTheDewarpText) {
    storeInt(store, "ImageWidth", 5472);
    storeInt(store, "ImageHeight", 3648);
    storeString(store, "DewarpData", "2018-09-01;3650.5,3650.5,-12.25,8.5,-0.27,0.11,0.0,0.0,-0.08");
    const json c = buildFrameRecord(store, "u")["calibration"];
    const json expected = {{"width", 5472.0}, {"height", 3648.0}, {"fx", 3650.5}, {"fy", 3650.5},
                           {"cx", 2723.75},   {"cy", 1832.5},     {"k1", -0.27},  {"k2", 0.11},
                           {"p1", 0.0},       {"p2", 0.0},        {"k3", -0.08}};
    EXPECT_EQ(c, expected);
    EXPECT_EQ(c.dump(),
              R"({"cx":2723.75,"cy":1832.5,"fx":3650.5,"fy":3650.5,"height":3648.0,"k1":-0.27,"k2":0.11,)"
              R"("k3":-0.08,"p1":0.0,"p2":0.0,"width":5472.0})");
}

TEST_F(FrameRecord, CalibrationCounts) {
    struct Case {
        int numbers;
        bool calibration;
        bool distortion;
    };
    for (const Case& c : std::vector<Case>{{0, false, false}, {3, false, false}, {4, true, false},
                                           {8, true, false}, {9, true, true}, {12, true, true}}) {
        fw::Settings s;
        storeInt(s, "ImageWidth", 5473);
        storeInt(s, "ImageHeight", 3647);
        std::string text = "v;";
        for (int i = 0; i < c.numbers; ++i) text += std::to_string(i + 1) + ",";
        storeString(s, "DewarpData", text);
        const json r = buildFrameRecord(s, "u");
        ASSERT_EQ(r.contains("calibration"), c.calibration) << c.numbers;
        if (!c.calibration) continue;
        const json& cal = r["calibration"];
        EXPECT_EQ(cal["cx"], 3.0 + 2736) << c.numbers;  // odd sizes lose the half pixel
        EXPECT_EQ(cal["cy"], 4.0 + 1823) << c.numbers;
        EXPECT_EQ(cal["k1"], c.distortion ? 5.0 : 0.0) << c.numbers;
        EXPECT_EQ(cal["k3"], c.distortion ? 9.0 : 0.0) << c.numbers;
    }
}

TEST_F(FrameRecord, PositionAndAttitudeNeedAllThreeKeys) {
    storeDouble(store, "Longitude", 1);
    storeDouble(store, "Latitude", 2);
    storeDouble(store, "CameraPitch", 1);
    storeDouble(store, "CameraYaw", 2);
    json r = buildFrameRecord(store, "u");
    EXPECT_FALSE(r.contains("gps"));
    EXPECT_FALSE(r.contains("rtk_std"));
    EXPECT_FALSE(r.contains("attitude"));
    EXPECT_FALSE(r.contains("attitude_std"));
    EXPECT_FALSE(r.contains("relative_altitude"));
}

TEST_F(FrameRecord, FullRecordWithDefaultsAndKeyOrder) {
    storeGps(store);
    storeAttitude(store);
    storeDouble(store, "RelativeAltitude", 80.25);
    storeString(store, "DateTime", "1970:01:02 00:00:00");
    storeInt(store, "ImageWidth", 100);
    storeInt(store, "ImageHeight", 50);
    storeString(store, "DewarpData", ";10,11,1,2");
    const std::string line = imagemeta::frameLine(buildFrameRecord(store, "/d/ä.jpg"));
    EXPECT_EQ(line,
              R"({"frame":"{\"attitude\":{\"pitch\":-90.0,\"roll\":0.5,\"yaw\":45.0},)"
              R"(\"attitude_std\":{\"pitch\":1.0,\"roll\":1.0,\"yaw\":10.0},)"
              R"(\"calibration\":{\"cx\":51.0,\"cy\":27.0,\"fx\":10.0,\"fy\":11.0,\"height\":50.0,)"
              R"(\"k1\":0.0,\"k2\":0.0,\"k3\":0.0,\"p1\":0.0,\"p2\":0.0,\"width\":100.0},)"
              R"(\"gps\":{\"altitude\":120.5,\"latitude\":22.25,\"longitude\":113.5},)"
              R"(\"relative_altitude\":80.25,)"
              R"(\"rtk_std\":{\"altitude\":10.0,\"latitude\":5.0,\"longitude\":5.0},)"
              R"(\"timestamp\":86400,\"uri\":\"/d/ä.jpg\"}"})");
    // The line is the frame command: its member is the record's own text.
    const json outer = json::parse(line);
    EXPECT_EQ(json::parse(outer["frame"].get<std::string>())["uri"], "/d/ä.jpg");
}

TEST_F(FrameRecord, SigmasFromTheStore) {
    storeGps(store);
    storeAttitude(store);
    storeDouble(store, "LongitudeSigma", 0.01);
    storeDouble(store, "AltitudeSigma", 0.03);
    store.setvar("CameraYawSigma", "2.5", true);
    const json r = buildFrameRecord(store, "u");
    EXPECT_EQ(r["rtk_std"], (json{{"longitude", 0.01}, {"latitude", 5.0}, {"altitude", 0.03}}));
    EXPECT_EQ(r["attitude_std"], (json{{"pitch", 1.0}, {"yaw", 2.5}, {"roll", 1.0}}));
}

TEST_F(FrameRecord, InvalidUtf8UriIsRejectedByTheLine) {
    const json r = buildFrameRecord(store, std::string("/d/\xff.jpg"));
    EXPECT_THROW(imagemeta::frameLine(r), json::type_error);
}
