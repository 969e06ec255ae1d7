// Runs the built image_meta on JPEG files written by exiftool and by the
// byte-level builder, compares the whole printed line, and cross-checks the
// values against exiftool's own reading of the same files.
#include "jpeg_builder.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using namespace jpegtest;
using nlohmann::json;
using testsupport::base64Encode;
using testsupport::runProcess;
using testsupport::splitLines;
namespace fs = std::filesystem;

namespace {

const std::string kProgram = testsupport::kImageMetaPath;
const std::string kExiftool = testsupport::kExiftoolPath;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

testsupport::ProcessResult runMeta(const std::string& uri, const std::string& input) {
    return runProcess({kProgram, base64Encode(uri)}, input);
}

// The record inside the single output line.
json recordOf(const testsupport::ProcessResult& r) {
    const auto lines = splitLines(r.out);
    if (lines.size() != 1) return json();
    return json::parse(json::parse(lines[0])["frame"].get<std::string>());
}

// exiftool prints "+80.25" as a string and plain numbers as numbers.
double num(const json& v) { return v.is_string() ? std::stod(v.get<std::string>()) : v.get<double>(); }

int64_t utcSeconds(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

const char kDjiXmp[] = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="DJI Meta Data"
    xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/"
    drone-dji:AbsoluteAltitude="+120.50"
    drone-dji:RelativeAltitude="+80.25"
    drone-dji:GimbalRollDegree="+178.50"
    drone-dji:GimbalYawDegree="-45.30"
    drone-dji:GimbalPitchDegree="-89.90"
    drone-dji:Latitude="22.123456"
    drone-dji:Longitude="113.987654"
    drone-dji:RtkStdLon="0.012"
    drone-dji:RtkStdLat="0.015"
    drone-dji:RtkStdHgt="0.030"
    drone-dji:DewarpData="2018-09-01;3650.5,3650.5,-12.25,8.5,-0.27,0.11,0.0,0.0,-0.08"/>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";

const char kXagXmp[] = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about=""
    xmlns:Camera="http://pix4d.com/camera/1.0/"
    Camera:Latitude="23.5"
    Camera:Longitude="113.25"
    Camera:AbsoluteAltitude="50.5"
    Camera:Pitch="-1800/20"
    Camera:Yaw="45/2"
    Camera:Roll="1/4"
    Camera:GPSXYAccuracy="3/100"
    Camera:GPSZAccuracy="0.05"
    Camera:DewarpData="v1;4000.5,4001.5,10,-20,-0.1,0.02,0.001,0.002,-0.003"/>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";

const char kAutelXmp[] = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="Autel Robotics Meta Data"
    xmlns:Camera="http://pix4d.com/camera/1.0/"
    Camera:Pitch="-30"/>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";

// Files written once for the whole suite: a plain JPEG from OpenCV, then
// exiftool adds EXIF in the chosen byte order and the maker's XMP packet.
class ImageMetaProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
        char pattern[] = "/tmp/image_meta_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_FALSE(kExiftool.empty()) << "exiftool is needed for these tests (scripts/setup.sh installs it)";
        const cv::Mat image(16, 16, CV_8UC3, cv::Scalar(40, 80, 120));
        ASSERT_TRUE(cv::imwrite((dir_ / "base.jpg").string(), image));
        writeFile(dir_ / "dji.xmp", kDjiXmp);
        writeFile(dir_ / "xag.xmp", kXagXmp);
        writeFile(dir_ / "autel.xmp", kAutelXmp);
        std::string nanXmp = kDjiXmp;
        const std::string latitude = "drone-dji:Latitude=\"22.123456\"";
        nanXmp.replace(nanXmp.find(latitude), latitude.size(), "drone-dji:Latitude=\"nan\"");
        writeFile(dir_ / "dji_nan.xmp", nanXmp);

        makeFixture("dji_ii.jpg", {"-ExifByteOrder=Little-endian", "-Make=DJI", "-Model=FC6310",
                                   "-ExifIFD:FocalLength=8.8", "-ExifIFD:ExifImageWidth=5472",
                                   "-ExifIFD:ExifImageHeight=3648", "-ModifyDate=2021:03:04 05:06:07",
                                   "-GPSLatitude=1", "-GPSLatitudeRef=N", "-GPSLongitude=2", "-GPSLongitudeRef=E",
                                   "-GPSAltitude=3", "-xmp<=" + (dir_ / "dji.xmp").string()});
        // The same with a latitude that is no number, beside a valid EXIF position.
        makeFixture("dji_nan.jpg", {"-Make=DJI", "-GPSLatitude=1", "-GPSLatitudeRef=N", "-GPSLongitude=2",
                                    "-GPSLongitudeRef=E", "-GPSAltitude=3", "-xmp<=" + (dir_ / "dji_nan.xmp").string()});
        makeFixture("gps_mm.jpg", {"-ExifByteOrder=Big-endian", "-Make=Canon", "-Model=EOS 5D",
                                   "-ExifIFD:FocalLength=24", "-ExifIFD:ExifImageWidth=6000",
                                   "-ExifIFD:ExifImageHeight=4000", "-ModifyDate=2022:12:31 23:59:58",
                                   "-GPSLatitude=22.5", "-GPSLatitudeRef=S", "-GPSLongitude=113.25",
                                   "-GPSLongitudeRef=W", "-GPSAltitude#=12.5", "-GPSAltitudeRef#=1"});
        makeFixture("xag_mm.jpg", {"-ExifByteOrder=Big-endian", "-Make=XAG", "-Model=xag cam",
                                   "-ExifIFD:FocalLength=4.5", "-ExifIFD:ExifImageWidth=4000",
                                   "-ExifIFD:ExifImageHeight=3000", "-ModifyDate=2020-06-07 08:09:10",
                                   "-xmp<=" + (dir_ / "xag.xmp").string()});
        makeFixture("autel_ii.jpg", {"-ExifByteOrder=Little-endian", "-Make=Autel Robotics", "-Model=XT705",
                                     "-ExifIFD:ExifImageWidth=8000", "-ExifIFD:ExifImageHeight=6000",
                                     "-ModifyDate=2023:01:02 03:04:05", "-xmp<=" + (dir_ / "autel.xmp").string()});
    }

    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static void makeFixture(const std::string& name, std::vector<std::string> args) {
        fs::copy_file(dir_ / "base.jpg", dir_ / name, fs::copy_options::overwrite_existing);
        args.insert(args.begin(), {kExiftool, "-q", "-overwrite_original"});
        args.push_back((dir_ / name).string());
        const auto r = runProcess(args);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
    }

    // exiftool's reading of a file: numbers as numbers, every tag with its group.
    static json exiftoolRead(const std::string& name) {
        const auto r = runProcess({kExiftool, "-n", "-j", "-a", "-G1", (dir_ / name).string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out).at(0);
    }

    static std::string fixture(const std::string& name) { return readFile(dir_ / name); }

    static fs::path dir_;
};

fs::path ImageMetaProgram::dir_;

}  // namespace

TEST_F(ImageMetaProgram, NoArgumentExitsWithOneAndPrintsNothing) {
    const auto r = runProcess({kProgram}, fixture("dji_ii.jpg"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(ImageMetaProgram, WholeLines) {
    struct Case {
        std::string file;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"dji_ii.jpg",
         R"({"frame":"{\"attitude\":{\"pitch\":-89.9,\"roll\":358.5,\"yaw\":-45.3},)"
         R"(\"attitude_std\":{\"pitch\":1.0,\"roll\":1.0,\"yaw\":10.0},)"
         R"(\"calibration\":{\"cx\":2723.75,\"cy\":1832.5,\"fx\":3650.5,\"fy\":3650.5,\"height\":3648.0,)"
         R"(\"k1\":-0.27,\"k2\":0.11,\"k3\":-0.08,\"p1\":0.0,\"p2\":0.0,\"width\":5472.0},)"
         R"(\"gps\":{\"altitude\":120.5,\"latitude\":22.123456,\"longitude\":113.987654},)"
         R"(\"relative_altitude\":80.25,)"
         R"(\"rtk_std\":{\"altitude\":0.03,\"latitude\":0.015,\"longitude\":0.012},)"
         R"(\"timestamp\":1614834367,\"uri\":\"/data/dji_ii.jpg\"}"})"},
        {"gps_mm.jpg",
         R"({"frame":"{\"gps\":{\"altitude\":-12.5,\"latitude\":-22.5,\"longitude\":-113.25},)"
         R"(\"rtk_std\":{\"altitude\":10.0,\"latitude\":5.0,\"longitude\":5.0},)"
         R"(\"timestamp\":1672531198,\"uri\":\"/data/gps_mm.jpg\"}"})"},
        {"xag_mm.jpg",
         R"({"frame":"{\"attitude\":{\"pitch\":-180.0,\"roll\":0.25,\"yaw\":22.5},)"
         R"(\"attitude_std\":{\"pitch\":1.0,\"roll\":1.0,\"yaw\":10.0},)"
         R"(\"calibration\":{\"cx\":2010.0,\"cy\":1480.0,\"fx\":4000.5,\"fy\":4001.5,\"height\":3000.0,)"
         R"(\"k1\":-0.1,\"k2\":0.02,\"k3\":-0.003,\"p1\":0.001,\"p2\":0.002,\"width\":4000.0},)"
         R"(\"gps\":{\"altitude\":50.5,\"latitude\":23.5,\"longitude\":113.25},)"
         R"(\"rtk_std\":{\"altitude\":0.05,\"latitude\":0.03,\"longitude\":0.03},)"
         R"(\"timestamp\":1591517350,\"uri\":\"/data/xag_mm.jpg\"}"})"},
        // Autel with only a pitch: no attitude, and still the one line.
        {"autel_ii.jpg", R"({"frame":"{\"timestamp\":1672628645,\"uri\":\"/data/autel_ii.jpg\"}"})"},
    };
    for (const auto& c : cases) {
        const auto r = runMeta("/data/" + c.file, fixture(c.file));
        EXPECT_EQ(r.exitCode, 0) << c.file;
        EXPECT_EQ(r.out, c.line + "\n") << c.file;
        EXPECT_EQ(r.err, "") << c.file;
    }
    EXPECT_EQ(utcSeconds(2021, 3, 4, 5, 6, 7), 1614834367);
    EXPECT_EQ(utcSeconds(2022, 12, 31, 23, 59, 58), 1672531198);
    EXPECT_EQ(utcSeconds(2020, 6, 7, 8, 9, 10), 1591517350);
    EXPECT_EQ(utcSeconds(2023, 1, 2, 3, 4, 5), 1672628645);
}

TEST_F(ImageMetaProgram, ValuesAgreeWithExiftool) {
    {
        const json x = exiftoolRead("gps_mm.jpg");
        const json rec = recordOf(runMeta("g", fixture("gps_mm.jpg")));
        ASSERT_EQ(x.at("IFD0:ModifyDate"), "2022:12:31 23:59:58");
        EXPECT_EQ(rec["timestamp"], utcSeconds(2022, 12, 31, 23, 59, 58));
        const double latSign = x.at("GPS:GPSLatitudeRef") == "S" ? -1 : 1;
        const double lonSign = x.at("GPS:GPSLongitudeRef") == "W" ? -1 : 1;
        const double altSign = x.at("GPS:GPSAltitudeRef") == 1 ? -1 : 1;
        EXPECT_DOUBLE_EQ(rec["gps"]["latitude"].get<double>(), latSign * num(x.at("GPS:GPSLatitude")));
        EXPECT_DOUBLE_EQ(rec["gps"]["longitude"].get<double>(), lonSign * num(x.at("GPS:GPSLongitude")));
        EXPECT_DOUBLE_EQ(rec["gps"]["altitude"].get<double>(), altSign * num(x.at("GPS:GPSAltitude")));
        EXPECT_LT(rec["gps"]["altitude"].get<double>(), 0.0);
    }
    {
        const json x = exiftoolRead("dji_ii.jpg");
        const json rec = recordOf(runMeta("d", fixture("dji_ii.jpg")));
        EXPECT_EQ(x.at("File:ExifByteOrder"), "II");
        EXPECT_EQ(rec["calibration"]["width"], num(x.at("ExifIFD:ExifImageWidth")));
        EXPECT_EQ(rec["calibration"]["height"], num(x.at("ExifIFD:ExifImageHeight")));
        EXPECT_DOUBLE_EQ(rec["gps"]["latitude"].get<double>(), num(x.at("XMP-drone-dji:Latitude")));
        EXPECT_DOUBLE_EQ(rec["gps"]["longitude"].get<double>(), num(x.at("XMP-drone-dji:Longitude")));
        EXPECT_DOUBLE_EQ(rec["relative_altitude"].get<double>(), num(x.at("XMP-drone-dji:RelativeAltitude")));
        EXPECT_DOUBLE_EQ(rec["attitude"]["pitch"].get<double>(), num(x.at("XMP-drone-dji:GimbalPitchDegree")));
        EXPECT_DOUBLE_EQ(rec["attitude"]["yaw"].get<double>(), num(x.at("XMP-drone-dji:GimbalYawDegree")));
        // A roll near 180 is turned over.
        EXPECT_DOUBLE_EQ(rec["attitude"]["roll"].get<double>(), num(x.at("XMP-drone-dji:GimbalRollDegree")) + 180);
        EXPECT_DOUBLE_EQ(rec["rtk_std"]["longitude"].get<double>(), num(x.at("XMP-drone-dji:RtkStdLon")));
        const std::string dewarp = x.at("XMP-drone-dji:DewarpData");
        EXPECT_DOUBLE_EQ(rec["calibration"]["fx"].get<double>(), std::stod(dewarp.substr(dewarp.find(';') + 1)));
    }
    {
        const json x = exiftoolRead("xag_mm.jpg");
        const json rec = recordOf(runMeta("x", fixture("xag_mm.jpg")));
        EXPECT_EQ(x.at("File:ExifByteOrder"), "MM");
        EXPECT_EQ(rec["calibration"]["width"], num(x.at("ExifIFD:ExifImageWidth")));
        // exiftool evaluates the fractions as well.
        EXPECT_DOUBLE_EQ(rec["attitude"]["pitch"].get<double>(), num(x.at("XMP-Camera:Pitch")) - 90);
        EXPECT_DOUBLE_EQ(rec["attitude"]["yaw"].get<double>(), num(x.at("XMP-Camera:Yaw")));
        EXPECT_DOUBLE_EQ(rec["attitude"]["roll"].get<double>(), num(x.at("XMP-Camera:Roll")));
        EXPECT_DOUBLE_EQ(rec["rtk_std"]["latitude"].get<double>(), num(x.at("XMP-Camera:GPSXYAccuracy")));
        EXPECT_DOUBLE_EQ(rec["gps"]["altitude"].get<double>(), num(x.at("XMP-Camera:AbsoluteAltitude")));
    }
}

TEST_F(ImageMetaProgram, PaddingOfTheArgumentAndExtraArguments) {
    const std::string uri = "/data/a.jpg";  // 11 bytes: one "=" of padding
    const std::string padded = base64Encode(uri);
    ASSERT_EQ(padded.back(), '=');
    const std::string bare = padded.substr(0, padded.find('='));
    for (const auto& arg : {padded, bare, padded + "==="}) {
        const auto r = runProcess({kProgram, arg, "extra", "args"}, fixture("gps_mm.jpg"));
        EXPECT_EQ(recordOf(r)["uri"], uri) << arg;
    }
}

TEST_F(ImageMetaProgram, EmptyOrForeignInputGivesUriAndClock) {
    for (const std::string& input : {std::string(), std::string("not a jpeg at all, just text"), fixture("base.jpg")}) {
        const auto r = runMeta("/u", input);
        EXPECT_EQ(r.exitCode, 0);
        const json rec = recordOf(r);
        ASSERT_EQ(rec.size(), 2u) << r.out;
        EXPECT_EQ(rec["uri"], "/u");
        EXPECT_TRUE(rec["timestamp"].is_number_float());
    }
}

TEST_F(ImageMetaProgram, OnlyTheFirst102400BytesAreRead) {
    const Bytes exif = segment(0xE1, exifPayload(TiffBuilder()
                                                      .ascii(Ifd::Zero, 0x0132, "2021:03:04 05:06:07")
                                                      .rationals(Ifd::Gps, 0x0002, {{1, 1}, {0, 1}, {0, 1}})
                                                      .rationals(Ifd::Gps, 0x0004, {{2, 1}, {0, 1}, {0, 1}})
                                                      .rational(Ifd::Gps, 0x0006, 3, 1)
                                                      .build()));
    auto fileWithPadding = [&](size_t padding) {
        std::vector<Bytes> segments;
        for (; padding > 60000; padding -= 60000) segments.push_back(segment(0xE2, Bytes(60000, 0x11)));
        segments.push_back(segment(0xE2, Bytes(padding, 0x22)));
        segments.push_back(exif);
        const Bytes b = jpeg(segments);
        return std::string(b.begin(), b.end());
    };
    const std::string near = fileWithPadding(100000);
    const std::string far = fileWithPadding(103000);
    ASSERT_LT(near.find("Exif") + 200, 102400u);
    ASSERT_GT(far.find("Exif"), 102400u);
    const json nearRecord = recordOf(runMeta("n", near));
    EXPECT_EQ(nearRecord["gps"], (json{{"longitude", 2.0}, {"latitude", 1.0}, {"altitude", 3.0}}));
    EXPECT_EQ(nearRecord["timestamp"], 1614834367);
    const json farRecord = recordOf(runMeta("f", far));
    EXPECT_EQ(farRecord.size(), 2u) << farRecord.dump();
    EXPECT_TRUE(farRecord["timestamp"].is_number_float());
}

TEST_F(ImageMetaProgram, InputArrivingInPiecesIsReadWhole) {
    // The head reaches the pipe in three writes with pauses between them.
    const fs::path file = dir_ / "dji_ii.jpg";
    const std::string script = "{ head -c 10 '" + file.string() + "'; sleep 0.3; head -c 700 '" + file.string() +
                               "' | tail -c +11; sleep 0.3; tail -c +701 '" + file.string() + "'; } | '" +
                               kProgram + "' " + base64Encode("/p.jpg");
    const auto piecewise = runProcess({"/bin/sh", "-c", script});
    const auto whole = runMeta("/p.jpg", fixture("dji_ii.jpg"));
    EXPECT_EQ(piecewise.exitCode, 0);
    EXPECT_EQ(piecewise.out, whole.out);
    EXPECT_TRUE(recordOf(piecewise).contains("attitude"));
}

TEST_F(ImageMetaProgram, XmpBeforeExifFromTheBuilder) {
    const Bytes file = jpeg({
        segment(0xE0, raw("JFIF\0\1\1\0\0\1\0\1\0\0")),
        segment(0xE1, xmpPayload(xmpPacket({{"rdf:about", "DJI Meta Data"},
                                            {"drone-dji:FlightPitchDegree", "3"},
                                            {"drone-dji:FlightYawDegree", "90"},
                                            {"drone-dji:FlightRollDegree", "-171"},
                                            {"drone-dji:RelativeAltitude", "+10"},
                                            {"drone-dji:DewarpData", "x;100,100,1,2"}}))),
        segment(0xE1, exifPayload(TiffBuilder(false)
                                      .ascii(Ifd::Zero, 0x010F, "Hasselblad")
                                      .ascii(Ifd::Zero, 0x0132, "2021:03:04 05:06:07")
                                      .u32(Ifd::Exif, 0xA002, 640)
                                      .u32(Ifd::Exif, 0xA003, 480)
                                      .build())),
    });
    const auto r = runMeta("b", std::string(file.begin(), file.end()));
    // The flight angles: pitch less 90, roll -171 turned over to 9.
    EXPECT_EQ(r.out,
              R"({"frame":"{\"attitude\":{\"pitch\":-87.0,\"roll\":9.0,\"yaw\":90.0},)"
              R"(\"attitude_std\":{\"pitch\":1.0,\"roll\":1.0,\"yaw\":10.0},)"
              R"(\"calibration\":{\"cx\":321.0,\"cy\":242.0,\"fx\":100.0,\"fy\":100.0,\"height\":480.0,)"
              R"(\"k1\":0.0,\"k2\":0.0,\"k3\":0.0,\"p1\":0.0,\"p2\":0.0,\"width\":640.0},)"
              R"(\"relative_altitude\":10.0,\"timestamp\":1614834367,\"uri\":\"b\"}"})"
              "\n");
}

TEST_F(ImageMetaProgram, MalformedFilesStillGiveOneLine) {
    const Bytes good = exifPayload(TiffBuilder().ascii(Ifd::Zero, 0x010F, "DJI").build());
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"zero-length segments", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xE1, 0x00, 0x00, 0, 0, 0, 0, 0, 0}},
        {"length 1", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xE1, 0x00, 0x01, 0, 0, 0, 0, 0, 0}},
        {"APP1 past the end", {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42}},
        {"only FF", Bytes(64, 0xFF)},
        {"IFD0 offset past the end", jpeg({segment(0xE1, exifPayload(TiffBuilder().ifd0Offset(60000).build()))})},
        {"text offset past the end",
         jpeg({segment(0xE1, exifPayload(TiffBuilder().add(Ifd::Zero, {0x0110, 2, 100, {}, 0xFFFFFFF0u}).build()))})},
        {"GPS pointer wraps", jpeg({segment(0xE1, exifPayload(TiffBuilder().gpsPointer(0xFFFFFFFCu).build()))})},
        {"truncated EXIF", [&] {
             Bytes b = jpeg({segment(0xE1, good)});
             b.resize(b.size() - 30);
             return b;
         }()},
        {"XMP header alone", jpeg({segment(0xE1, xmpPayload(""))})},
        {"bad XML", jpeg({segment(0xE1, good), segment(0xE1, xmpPayload("<x:xmpmeta><rdf:RDF"))})},
    };
    for (const auto& [name, bytes] : cases) {
        const auto r = runMeta("/m", std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(r.signal, 0) << name;
        EXPECT_EQ(recordOf(r)["uri"], "/m") << name << ": " << r.out;
    }
}

TEST_F(ImageMetaProgram, InvalidUtf8UriFailsWithoutOutput) {
    const auto r = runProcess({kProgram, base64Encode("/data/\xff\xfe.jpg")}, fixture("gps_mm.jpg"));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("UTF-8"), std::string::npos);
    // Valid non-ASCII text is written as it is.
    const auto ok = runMeta("/data/航拍.jpg", fixture("gps_mm.jpg"));
    EXPECT_NE(ok.out.find("/data/航拍.jpg"), std::string::npos);
}

TEST_F(ImageMetaProgram, StoreReportOnlyWhenAskedFor) {
    const std::string arg = base64Encode("/r.jpg");
    const auto plain = runProcess({kProgram, arg}, fixture("gps_mm.jpg"));
    EXPECT_EQ(splitLines(plain.out).size(), 1u);
    // The store prints its report when it is destroyed, after the record line.
    const auto dumped = runProcess({"/usr/bin/env", "Settings.DumpAllVars=1", kProgram, arg}, fixture("gps_mm.jpg"));
    EXPECT_EQ(dumped.exitCode, 0);
    const auto lines = splitLines(dumped.out);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines[0] + "\n", plain.out);
    EXPECT_NE(dumped.out.find("Var report"), std::string::npos);
    EXPECT_NE(dumped.out.find("LatComponents.degrees"), std::string::npos);
}

namespace {

// A head with EXIF that holds the make and a valid position of its own, then
// an XMP packet with the attributes.
std::string makerHead(const std::map<std::string, std::string>& attributes, const std::string& make) {
    const Bytes tiff = TiffBuilder()
                           .ascii(Ifd::Zero, 0x010F, make)
                           .rationals(Ifd::Gps, 0x0002, {{1, 1}, {0, 1}, {0, 1}})
                           .rationals(Ifd::Gps, 0x0004, {{2, 1}, {0, 1}, {0, 1}})
                           .rational(Ifd::Gps, 0x0006, 3, 1)
                           .build();
    const Bytes b = jpeg({segment(0xE1, exifPayload(tiff)),
                          segment(0xE1, xmpPayload(xmpPacket({attributes.begin(), attributes.end()})))});
    return std::string(b.begin(), b.end());
}

// A DJI head with the overrides applied to its XMP attributes.
std::string djiHead(const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> attributes = {
        {"rdf:about", "DJI Meta Data"},
        {"drone-dji:Latitude", "22.5"},
        {"drone-dji:Longitude", "113.25"},
        {"drone-dji:AbsoluteAltitude", "120.5"},
        {"drone-dji:RelativeAltitude", "80.25"},
        {"drone-dji:GimbalPitchDegree", "-89.5"},
        {"drone-dji:GimbalYawDegree", "-45.5"},
        {"drone-dji:GimbalRollDegree", "0.5"},
        {"drone-dji:RtkStdLon", "0.5"},
        {"drone-dji:RtkStdLat", "0.25"},
        {"drone-dji:RtkStdHgt", "0.75"},
    };
    for (const auto& [key, value] : overrides) attributes[key] = value;
    return makerHead(attributes, "DJI");
}

// An EXIF-only head whose GPS rationals are given as (numerator, denominator).
std::string exifGpsHead(const std::vector<std::pair<int64_t, int64_t>>& latitude,
                        const std::vector<std::pair<int64_t, int64_t>>& longitude, std::pair<int64_t, int64_t> altitude,
                        bool littleEndian = true) {
    const Bytes tiff = TiffBuilder(littleEndian)
                           .ascii(Ifd::Zero, 0x010F, "Canon")
                           .rationals(Ifd::Gps, 0x0002, latitude)
                           .rationals(Ifd::Gps, 0x0004, longitude)
                           .rational(Ifd::Gps, 0x0006, altitude.first, altitude.second)
                           .build();
    const Bytes b = jpeg({segment(0xE1, exifPayload(tiff))});
    return std::string(b.begin(), b.end());
}

}  // namespace

// Hostile inputs and outputs of the built program: its exit status, the
// members of the record it prints and what it says on standard error.
TEST_F(ImageMetaProgram, HostileInputsAndOutputs) {
    enum class Out { Pipe, FullDisk, Closed };
    struct Case {
        std::string name;
        std::string input;
        Out out;
        int exitCode;
        json members;                     // record members and their values
        std::vector<std::string> absent;  // record members left out
        std::string err;                  // expected in standard error; "" for none at all
    };
    const json djiGps = {{"latitude", 22.5}, {"longitude", 113.25}, {"altitude", 120.5}};
    const json exifGps = {{"latitude", 1.0}, {"longitude", 2.0}, {"altitude", 3.0}};
    const std::map<std::string, std::string> xag = {
        {"Camera:Latitude", "23.5"}, {"Camera:Longitude", "113.25"}, {"Camera:AbsoluteAltitude", "50.5"}};
    const json xagGps = {{"latitude", 23.5}, {"longitude", 113.25}, {"altitude", 50.5}};
    const auto withText = [](std::map<std::string, std::string> attributes, const std::string& key,
                             const std::string& text) {
        attributes[key] = text;
        return attributes;
    };
    const std::vector<std::pair<int64_t, int64_t>> lat = {{1, 1}, {0, 1}, {0, 1}};
    const std::vector<std::pair<int64_t, int64_t>> lon = {{2, 1}, {0, 1}, {0, 1}};
    const std::vector<Case> cases = {
        {"valid DJI", djiHead({}), Out::Pipe, 0, {{"gps", djiGps}, {"relative_altitude", 80.25}}, {}, ""},
        {"full disk", djiHead({}), Out::FullDisk, 3, {}, {}, "cannot write standard output: No space left on device"},
        {"closed standard output", djiHead({}), Out::Closed, 3, {}, {}, "cannot write standard output"},
        {"XMP latitude nan", djiHead({{"drone-dji:Latitude", "nan"}}), Out::Pipe, 0,
         {{"relative_altitude", 80.25}}, {"gps", "rtk_std"}, ""},
        {"XMP latitude abc", djiHead({{"drone-dji:Latitude", "abc"}}), Out::Pipe, 0, {}, {"gps", "rtk_std"}, ""},
        {"XMP longitude abc", djiHead({{"drone-dji:Longitude", "abc"}}), Out::Pipe, 0, {}, {"gps", "rtk_std"}, ""},
        {"XMP altitude inf", djiHead({{"drone-dji:AbsoluteAltitude", "inf"}}), Out::Pipe, 0, {}, {"gps"}, ""},
        {"XMP latitude empty", djiHead({{"drone-dji:Latitude", ""}}), Out::Pipe, 0, {}, {"gps"}, ""},
        {"XMP yaw abc", djiHead({{"drone-dji:GimbalYawDegree", "abc"}}), Out::Pipe, 0, {{"gps", djiGps}},
         {"attitude", "attitude_std"}, ""},
        {"XMP relative altitude nan", djiHead({{"drone-dji:RelativeAltitude", "nan"}}), Out::Pipe, 0,
         {{"gps", djiGps}}, {"relative_altitude"}, ""},
        // A sigma that is no number falls back to its default.
        {"XMP sigma abc", djiHead({{"drone-dji:RtkStdLon", "abc"}}), Out::Pipe, 0,
         {{"gps", djiGps}, {"rtk_std", {{"longitude", 5.0}, {"latitude", 0.25}, {"altitude", 0.75}}}}, {}, ""},
        {"valid XAG", makerHead(xag, "XAG"), Out::Pipe, 0, {{"gps", xagGps}}, {}, ""},
        {"XAG latitude nan", makerHead(withText(xag, "Camera:Latitude", "nan"), "XAG"), Out::Pipe, 0, {}, {"gps"},
         ""},
        {"Parrot altitude abc", makerHead(withText(xag, "Camera:AbsoluteAltitude", "abc"), "Parrot"), Out::Pipe, 0,
         {}, {"gps"}, ""},
        {"valid EXIF", exifGpsHead(lat, lon, {3, 1}), Out::Pipe, 0, {{"gps", exifGps}}, {}, ""},
        {"EXIF latitude seconds 0/0", exifGpsHead({{1, 1}, {0, 1}, {0, 0}}, lon, {3, 1}), Out::Pipe, 0, {},
         {"gps", "rtk_std"}, ""},
        {"EXIF longitude degrees 2/0, big-endian", exifGpsHead(lat, {{2, 0}, {0, 1}, {0, 1}}, {3, 1}, false),
         Out::Pipe, 0, {}, {"gps"}, ""},
        {"EXIF altitude 0/0", exifGpsHead(lat, lon, {0, 0}), Out::Pipe, 0, {}, {"gps"}, ""},
        {"exiftool DJI latitude nan", fixture("dji_nan.jpg"), Out::Pipe, 0, {{"relative_altitude", 80.25}},
         {"gps", "rtk_std"}, ""},
    };
    const std::string arg = base64Encode("/h.jpg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ProcessResult r;
        if (c.out == Out::Pipe) {
            r = runProcess({kProgram, arg}, c.input);
        } else {
            const std::string redirect = c.out == Out::FullDisk ? ">/dev/full" : ">&-";
            r = runProcess({"/bin/sh", "-c", "exec \"$0\" \"$1\" " + redirect, kProgram, arg}, c.input);
        }
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find("image_meta: " + c.err), std::string::npos) << r.err;
        }
        if (c.out != Out::Pipe) {
            EXPECT_EQ(r.out, "");
            continue;
        }
        const json record = recordOf(r);
        ASSERT_TRUE(record.is_object()) << r.out;
        for (const auto& [key, value] : c.members.items()) EXPECT_EQ(record.value(key, json()), value) << key;
        for (const auto& key : c.absent) EXPECT_FALSE(record.contains(key)) << key << " in " << record.dump();
        // Whatever is printed is a number, never null.
        EXPECT_EQ(record.dump().find("null"), std::string::npos) << record.dump();
    }
}

// Gimbal yaw texts in files written by exiftool: only a text that is one
// decimal number within a turn gives the attitude group.
TEST_F(ImageMetaProgram, YawTextMustBeOneNumberWithinATurn) {
    struct Case {
        std::string yaw;
        bool read;
        double value;
    };
    const std::vector<Case> cases = {
        {"45abc", false, 0}, {"4,5", false, 0},   {"0x2D", false, 0},     {"45.0.0", false, 0},
        {"1e308", false, 0}, {"-360.5", false, 0}, {" 45 ", true, 45.0}, {"+45.25", true, 45.25},
        {"-360", true, -360.0},
    };
    const std::string yawAttribute = "drone-dji:GimbalYawDegree=\"-45.30\"";
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("yaw '" + c.yaw + "'");
        std::string xmp = kDjiXmp;
        xmp.replace(xmp.find(yawAttribute), yawAttribute.size(), "drone-dji:GimbalYawDegree=\"" + c.yaw + "\"");
        const std::string name = "yaw_" + std::to_string(i);
        writeFile(dir_ / (name + ".xmp"), xmp);
        makeFixture(name + ".jpg", {"-Make=DJI", "-xmp<=" + (dir_ / (name + ".xmp")).string()});
        // exiftool finds the text in the file as it was given.
        const auto x = runProcess(
            {kExiftool, "-b", "-XMP-drone-dji:GimbalYawDegree", (dir_ / (name + ".jpg")).string()});
        ASSERT_EQ(x.out, c.yaw);

        const auto r = runMeta("/y.jpg", fixture(name + ".jpg"));
        EXPECT_EQ(r.exitCode, 0);
        const json record = recordOf(r);
        ASSERT_TRUE(record.is_object()) << r.out;
        // The other groups stay.
        EXPECT_EQ(record["relative_altitude"], 80.25);
        EXPECT_TRUE(record.contains("gps"));
        if (!c.read) {
            EXPECT_FALSE(record.contains("attitude")) << record.dump();
            EXPECT_FALSE(record.contains("attitude_std")) << record.dump();
            continue;
        }
        EXPECT_EQ(record["attitude"], (json{{"pitch", -89.9}, {"yaw", c.value}, {"roll", 358.5}}));
    }
}
