// The maker normalisers on stores filled as the reader fills them: EXIF
// values in the typed maps, XMP attributes as text.
#include "image_meta/exif.h"
#include "image_meta/frame_record.h"

#include "fw/settings.h"
#include "image_meta/number_text.h"
#include "image_meta/store_access.h"
#include "store_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using jpegtest::doubleOf;
using jpegtest::stringOf;

namespace {

using Texts = std::vector<std::pair<std::string, std::string>>;

// A store with the XMP texts and, when given, the EXIF Make.
class Store {
public:
    explicit Store(const Texts& texts, const std::string& make = "") {
        for (const auto& [k, v] : texts) store.setvar(k, v, true);
        if (!make.empty()) imagemeta::storeString(store, "Make", make);
    }
    void normalise() {
        EXIF exif;
        exif.deriveCameraName(store);
        exif.normalizeGps(store);
        exif.normalizeAttitude(store);
        exif.normalizeRtkSigma(store);
        exif.normalizeDewarpData(store);
    }
    // The common double keys that are set.
    std::map<std::string, double> numbers() {
        std::map<std::string, double> out;
        for (const char* k : {"Latitude", "Longitude", "Altitude", "RelativeAltitude", "CameraPitch", "CameraYaw",
                              "CameraRoll", "LongitudeSigma", "LatitudeSigma", "AltitudeSigma", "cx", "cy"}) {
            if (imagemeta::hasNumber(store, k)) out[k] = store.GetDouble(k, 0.0);
        }
        return out;
    }
    fw::Settings store;
};

const Texts kDji = {
    {"rdf:about", "DJI Meta Data"},
    {"drone-dji:Latitude", "22.123456"},
    {"drone-dji:Longitude", "113.987654"},
    {"drone-dji:AbsoluteAltitude", "+120.50"},
    {"drone-dji:RelativeAltitude", "+80.25"},
    {"drone-dji:GimbalPitchDegree", "-89.90"},
    {"drone-dji:GimbalYawDegree", "-45.30"},
    {"drone-dji:GimbalRollDegree", "+178.50"},
    {"drone-dji:FlightPitchDegree", "5"},
    {"drone-dji:RtkStdLon", "0.012"},
    {"drone-dji:RtkStdLat", "0.015"},
    {"drone-dji:RtkStdHgt", "0.030"},
    {"drone-dji:DewarpData", "2018-09-01;3650.5,3650.5,-12.25,8.5,-0.27,0.11,0.0,0.0,-0.08"},
};

}  // namespace

TEST(MakerTags, DjiGimbalPositionSigmasAndDewarp) {
    Store s(kDji, "DJI");
    // EXIF GPS values are replaced by the DJI ones.
    imagemeta::storeDouble(s.store, "Latitude", -1.0);
    imagemeta::storeDouble(s.store, "Altitude", -2.0);
    s.normalise();
    const std::map<std::string, double> expected = {
        {"Latitude", 22.123456},       {"Longitude", 113.987654},   {"Altitude", 120.5},
        {"RelativeAltitude", 80.25},   {"CameraPitch", -89.9},      {"CameraYaw", -45.3},
        {"CameraRoll", 358.5},         {"LongitudeSigma", 0.012},   {"LatitudeSigma", 0.015},
        {"AltitudeSigma", 0.03},
    };
    EXPECT_EQ(s.numbers(), expected);
    EXPECT_EQ(stringOf(s.store, "DewarpData"), "2018-09-01;3650.5,3650.5,-12.25,8.5,-0.27,0.11,0.0,0.0,-0.08");
}

TEST(MakerTags, DjiLongitudeFallbacksAndMissingLatitude) {
    {
        Store s(Texts{{"drone-dji:Latitude", "1"}, {"drone-dji:GpsLongtitude", "2"}, {"drone-dji:GpsLongitude", "3"}});
        s.normalise();
        EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"Latitude", 1}, {"Longitude", 2}}));
    }
    {
        Store s(Texts{{"drone-dji:Latitude", "1"}, {"drone-dji:GpsLongitude", "3"}, {"drone-dji:AbsoluteAltitude", "4"}});
        s.normalise();
        EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"Latitude", 1}, {"Longitude", 3}, {"Altitude", 4}}));
    }
    {
        // Without drone-dji:Latitude the DJI position is ignored and the Make branches apply.
        Store s(Texts{{"drone-dji:Longitude", "9"}, {"drone-dji:AbsoluteAltitude", "9"}, {"Camera:Latitude", "1"},
                 {"Camera:Longitude", "2"}, {"Camera:AbsoluteAltitude", "3"}},
                "Parrot");
        s.normalise();
        const auto n = s.numbers();
        EXPECT_EQ(n.at("Latitude"), 1);
        EXPECT_EQ(n.at("Longitude"), 2);
        EXPECT_EQ(n.at("Altitude"), 3);
    }
}

TEST(MakerTags, DjiFlightAnglesWhenNoGimbal) {
    Store s(Texts{{"drone-dji:FlightPitchDegree", "10"}, {"drone-dji:FlightYawDegree", "20"},
             {"drone-dji:FlightRollDegree", "-175"}, {"drone-dji:RelativeAltitude", "30"}});
    s.normalise();
    EXPECT_EQ(s.numbers(), (std::map<std::string, double>{
                               {"CameraPitch", -80}, {"CameraYaw", 20}, {"CameraRoll", 5}, {"RelativeAltitude", 30}}));
}

TEST(MakerTags, RollFold) {
    const std::vector<std::pair<double, double>> cases = {
        {178.5, 358.5}, {-3, -3}, {179, 359}, {-175, 5}, {170, 170}, {171, 351}, {189, 369}, {190, 190}, {0, 0},
    };
    for (const auto& [roll, folded] : cases) {
        Store s(Texts{{"drone-dji:GimbalPitchDegree", "0"}, {"drone-dji:GimbalRollDegree", std::to_string(roll)}});
        s.normalise();
        EXPECT_DOUBLE_EQ(s.numbers().at("CameraRoll"), folded) << roll;
    }
}

TEST(MakerTags, XaircraftReadsFractions) {
    for (const char* make : {"Xaircraft", "XAG"}) {
        Store s(Texts{{"Camera:Latitude", "23.5"},
                 {"Camera:Longitude", "113.5"},
                 {"Camera:AbsoluteAltitude", "50"},
                 {"Camera:Pitch", "-1800/20"},
                 {"Camera:Yaw", "45"},
                 {"Camera:Roll", "179/1"},
                 {"Camera:GPSXYAccuracy", "3/100"},
                 {"Camera:GPSZAccuracy", "0.05"},
                 {"Camera:CalibratedOpticalCenterX", "2736.5"},
                 {"Camera:CalibratedOpticalCenterY", "1824.25"},
                 {"Camera:DewarpData", "v1;1,2,3,4"},
                 {"drone-dji:RtkStdLon", "7"}},
                make);
        s.normalise();
        const std::map<std::string, double> expected = {
            {"Latitude", 23.5},       {"Longitude", 113.5},    {"Altitude", 50},         {"CameraPitch", -180},
            {"CameraYaw", 45},        {"CameraRoll", 179},     {"LatitudeSigma", 0.03},  {"LongitudeSigma", 0.03},
            {"AltitudeSigma", 0.05},  {"cx", 2736.5},          {"cy", 1824.25},
        };
        // The DJI RTK tags win over the Make branch of the sigma step.
        auto n = s.numbers();
        EXPECT_EQ(n.at("LongitudeSigma"), 7) << make;
        n["LongitudeSigma"] = 0.03;
        EXPECT_EQ(n, expected) << make;
        EXPECT_EQ(stringOf(s.store, "DewarpData"), "v1;1,2,3,4") << make;
    }
}

TEST(MakerTags, ParrotTurnsTheYaw) {
    Store s(Texts{{"Camera:Latitude", "1"}, {"Camera:Longitude", "2"}, {"Camera:AbsoluteAltitude", "3"},
             {"Camera:Pitch", "0"}, {"Camera:Yaw", "10"}, {"Camera:Roll", "2/4"}, {"Camera:GPSXYAccuracy", "1.5"},
             {"Camera:GPSZAccuracy", "2.5"}, {"Camera:DewarpData", "p;9"}, {"Camera:CalibratedOpticalCenterX", "1"}},
            "Parrot");
    s.normalise();
    EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"Latitude", 1},
                                                          {"Longitude", 2},
                                                          {"Altitude", 3},
                                                          {"CameraPitch", -90},
                                                          {"CameraYaw", 100},
                                                          {"CameraRoll", 0.5},
                                                          {"LatitudeSigma", 1.5},
                                                          {"LongitudeSigma", 1.5},
                                                          {"AltitudeSigma", 2.5}}));
    EXPECT_EQ(stringOf(s.store, "DewarpData"), "p;9");
}

TEST(MakerTags, Autel) {
    const Texts autel = {{"rdf:about", "Autel Robotics Meta Data"},
                         {"Camera:Pitch", "-10"},
                         {"Camera:Yaw", "30"},
                         {"Camera:Roll", "-178"},
                         {"Camera:AboveGroundAltitude", "99.5"},
                         {"Camera:GPSXYAccuracy", "0.5"},
                         {"Camera:GPSZAccuracy", "0.7"}};
    Store s(autel);
    s.normalise();
    EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"CameraPitch", -100},
                                                          {"CameraYaw", 30},
                                                          {"CameraRoll", 2},
                                                          {"RelativeAltitude", 99.5},
                                                          {"LongitudeSigma", 0.5},
                                                          {"LatitudeSigma", 0.5},
                                                          {"AltitudeSigma", 0.7}}));
    Store only(Texts{{"rdf:about", "Autel Robotics Meta Data"}, {"Camera:Pitch", "0"}});
    only.normalise();
    EXPECT_EQ(only.numbers(), (std::map<std::string, double>{{"CameraPitch", -90}}));
    // The comparison with rdf:about is exact.
    Store other(Texts{{"rdf:about", "autel robotics meta data"}, {"Camera:Pitch", "0"}});
    other.normalise();
    EXPECT_TRUE(other.numbers().empty());
}

TEST(MakerTags, DewarpDataByMake) {
    const std::string dewarp = "d;1,2,3,4,5,6";
    struct Case {
        std::string make;
        std::string about;
        bool copied;
    };
    const std::vector<Case> cases = {
        {"DJI", "", true},         {"Hasselblad", "", true}, {"NorraUAV", "", true}, {"", "DJI Meta Data", true},
        {"DJI ", "", false},       {"dji", "", false},       {"Parrot", "", false},  {"", "", false},
    };
    for (const auto& c : cases) {
        Texts texts = {{"drone-dji:DewarpData", dewarp}};
        if (!c.about.empty()) texts.push_back({"rdf:about", c.about});
        Store s(texts, c.make);
        s.normalise();
        EXPECT_EQ(stringOf(s.store, "DewarpData").has_value(), c.copied) << "'" << c.make << "'";
    }
}

TEST(MakerTags, AbsentSourcesSetNothing) {
    for (const char* make : {"DJI", "XAG", "Parrot", "Other"}) {
        Store s(Texts{{"drone-dji:GimbalPitchDegree", "1"}}, make);
        s.normalise();
        EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"CameraPitch", 1}})) << make;
        EXPECT_FALSE(stringOf(s.store, "DewarpData")) << make;
    }
    Store xag(Texts{}, "XAG");
    xag.normalise();
    EXPECT_TRUE(xag.numbers().empty());
}

TEST(MakerTags, UnreadableFractionsLeaveTheTargetUnset) {
    for (const char* pitch : {"abc", "1/0", "0/0", "-1/0", "1/x", "x/2", "", "/", "inf", "nan/1", "1e999"}) {
        Store s(Texts{{"Camera:Pitch", pitch}, {"Camera:Yaw", "4/2"}}, "XAG");
        s.normalise();
        EXPECT_EQ(s.numbers(), (std::map<std::string, double>{{"CameraYaw", 2}})) << pitch;
    }
}

// Every maker's angle texts beyond a turn either way (before any shift or
// fold) leave the attitude group out of the record; a turn itself is kept.
TEST(MakerTags, AnglesBeyondATurnLeaveTheAttitudeOut) {
    struct Case {
        std::string name;
        Texts texts;
        std::string make;
        bool attitude;
    };
    const auto dji = [](const std::string& prefix, const std::string& pitch, const std::string& yaw,
                        const std::string& roll) {
        return Texts{{"drone-dji:" + prefix + "PitchDegree", pitch},
                     {"drone-dji:" + prefix + "YawDegree", yaw},
                     {"drone-dji:" + prefix + "RollDegree", roll}};
    };
    const auto camera = [](const std::string& pitch, const std::string& yaw, const std::string& roll) {
        return Texts{{"rdf:about", "Autel Robotics Meta Data"}, {"Camera:Pitch", pitch}, {"Camera:Yaw", yaw},
                     {"Camera:Roll", roll}};
    };
    const std::vector<Case> cases = {
        {"gimbal within", dji("Gimbal", "-90", "360", "-360"), "DJI", true},
        {"gimbal yaw 1e308", dji("Gimbal", "-90", "1e308", "0"), "DJI", false},
        {"gimbal yaw 360.5", dji("Gimbal", "-90", "360.5", "0"), "DJI", false},
        {"gimbal pitch -361", dji("Gimbal", "-361", "0", "0"), "DJI", false},
        // 190 folds to 370 and stays; 540 is beyond a turn before the fold.
        {"gimbal roll 190", dji("Gimbal", "0", "0", "190"), "DJI", true},
        {"gimbal roll 540", dji("Gimbal", "0", "0", "540"), "DJI", false},
        // A pitch of -300 becomes -390 with the shift and stays.
        {"flight pitch -300", dji("Flight", "-300", "0", "0"), "DJI", true},
        {"flight pitch 400", dji("Flight", "400", "0", "0"), "DJI", false},
        {"flight yaw -1e308", dji("Flight", "0", "-1e308", "0"), "DJI", false},
        {"Autel within", camera("0", "-359", "0"), "", true},
        {"Autel roll 361", camera("0", "0", "361"), "", false},
        {"XAG fraction within", camera("-1800/20", "720/2", "1/4"), "XAG", true},
        {"XAG yaw 722/2", camera("0", "722/2", "0"), "XAG", false},
        {"XAG pitch 1e308/1", camera("1e308/1", "0", "0"), "XAG", false},
        // Parrot's yaw of 300 is turned to 390 and stays.
        {"Parrot yaw 300", camera("0", "300", "0"), "Parrot", true},
        {"Parrot yaw 400", camera("0", "400", "0"), "Parrot", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Store s(c.texts, c.make);
        s.normalise();
        const nlohmann::json record = imagemeta::buildFrameRecord(s.store, "u");
        EXPECT_EQ(record.contains("attitude"), c.attitude) << record.dump();
        EXPECT_EQ(record.contains("attitude_std"), c.attitude) << record.dump();
    }
}

TEST(MakerTags, CameraName) {
    Store s(Texts{});
    imagemeta::storeString(s.store, "Model", "fc6310 pro");
    imagemeta::storeDouble(s.store, "FocalLength", 8.8);
    imagemeta::storeInt(s.store, "ImageWidth", 5472);
    imagemeta::storeInt(s.store, "ImageHeight", 3648);
    imagemeta::storeString(s.store, "LensInfo.Model", "lens");
    s.normalise();
    EXPECT_EQ(stringOf(s.store, "CameraName"), "FC6310_PRO_8.8_5472X3648");
    EXPECT_EQ(stringOf(s.store, "CameraModel"), "fc6310 pro");
    EXPECT_EQ(stringOf(s.store, "LensModel"), "lens");
    EXPECT_EQ(doubleOf(s.store, "focalLength"), 8.8);

    Store empty(Texts{});
    empty.normalise();
    EXPECT_EQ(stringOf(empty.store, "CameraName"), "_0.0_0X0");
}

TEST(NumberText, WholeTextIsOneDecimalNumber) {
    const std::vector<std::pair<std::string, double>> good = {
        {"45", 45},      {" 45 ", 45},   {"\t-45.5\n", -45.5}, {"+45.2", 45.2}, {"-0", 0},     {".5", 0.5},
        {"5.", 5},       {"1e3", 1000},  {"1.5E-2", 0.015},    {"1e+2", 100},   {"1e308", 1e308},
    };
    for (const auto& [text, value] : good) {
        double v = -1;
        EXPECT_TRUE(imagemeta::readNumberText(text, v)) << "'" << text << "'";
        EXPECT_DOUBLE_EQ(v, value) << "'" << text << "'";
    }
    for (const char* text : {"", "  ", "45abc", "4,5", "0x2D", "0X2d", "45.0.0", "inf", "-infinity", "nan", "NAN(1)",
                             "1e400", "-1e400", "1e-400", "1e", "e5", "+", "-", ".", "+-5", "--5", "4 5", "45 x",
                             "x45", "1e5e5", "1/2", "45\xc2\xb0"}) {
        double v = -1;
        EXPECT_FALSE(imagemeta::readNumberText(text, v)) << "'" << text << "'";
        EXPECT_EQ(v, -1) << "'" << text << "'";
    }
    // A NUL inside the text is not its end.
    double v = -1;
    EXPECT_FALSE(imagemeta::readNumberText(std::string("45\0abc", 6), v));
    EXPECT_EQ(v, -1);
}

TEST(NumberText, Fractions) {
    const std::vector<std::pair<std::string, double>> good = {
        {"-1800/20", -90}, {"3", 3}, {" 3 / 4 ", 0.75}, {"0/5", 0}, {"1e3/1e1", 100}, {"+6/-3", -2},
    };
    for (const auto& [text, value] : good) {
        double v = -1;
        EXPECT_TRUE(imagemeta::readFraction(text, v)) << text;
        EXPECT_DOUBLE_EQ(v, value) << text;
    }
    for (const char* text : {"", "x", "1/", "/1", "1/0", "inf", "-inf/1", "nan", "1e400", "1e308/1e-308", "3/abc",
                             " 2.5abc", "1/4/2", "1,5/2", "0x10/2", "4/2x", "1/0x1"}) {
        double v = -1;
        EXPECT_FALSE(imagemeta::readFraction(text, v)) << text;
        EXPECT_EQ(v, -1) << text;
    }
}
