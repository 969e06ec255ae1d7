// The marker walk, the EXIF segment in both byte orders and the XMP packet,
// on files made byte by byte.
#include "image_meta/exif.h"

#include "fw/settings.h"
#include "image_meta/store_access.h"
#include "jpeg_builder.h"
#include "store_probe.h"

#include <gtest/gtest.h>

using namespace jpegtest;

namespace {

int scan(const Bytes& file, fw::Settings& store) {
    EXIF exif;
    return exif.scanMarkers(file.data(), file.size(), store);
}

int parseExif(const Bytes& tiff, fw::Settings& store) {
    EXIF exif;
    const Bytes payload = exifPayload(tiff);
    return exif.parseExifSegment(payload.data(), payload.size(), store);
}

Bytes minimalTiff(bool le = true) { return TiffBuilder(le).ascii(Ifd::Zero, 0x010F, "Maker").build(); }

Bytes exifSegment(const Bytes& tiff) { return segment(0xE1, exifPayload(tiff)); }

Bytes xmpSegment(const std::vector<std::pair<std::string, std::string>>& attributes) {
    return segment(0xE1, xmpPayload(xmpPacket(attributes)));
}

}  // namespace

// ---- marker walk -----------------------------------------------------------

TEST(MarkerWalk, ResultCodes) {
    const Bytes exif = exifSegment(minimalTiff());
    const Bytes xmp = xmpSegment({{"drone-dji:Yaw", "1"}});
    const Bytes app0 = segment(0xE0, raw("JFIF\0\1\1\0\0\1\0\1\0\0"));
    const Bytes otherApp1 = segment(0xE1, raw("http://example.com/other\0data"));
    struct Case {
        const char* name;
        Bytes file;
        int expected;
    };
    Bytes fifteen(15, 0xFF);
    fifteen[1] = 0xD8;
    Bytes notJpeg(16, 0);
    // A segment whose length runs past the end of the data.
    Bytes truncated = jpeg({app0, exif});
    truncated.resize(app0.size() + 20);
    Bytes truncatedAfterExif = jpeg({exif, app0});
    truncatedAfterExif.resize(2 + exif.size() + 8);
    Bytes badOrderTiff = minimalTiff();
    badOrderTiff[0] = 'I';
    badOrderTiff[1] = 'M';
    const std::vector<Case> cases = {
        {"15 bytes", fifteen, EXIF::kNoExif},
        {"16 bytes, no SOI", notJpeg, EXIF::kNotJpeg},
        {"no APP1", jpeg({app0, app0}), EXIF::kNoExif},
        {"EXIF only", jpeg({app0, exif}), EXIF::kOk},
        {"XMP only", jpeg({xmp}), EXIF::kNoExif},
        {"EXIF then XMP", jpeg({exif, xmp}), EXIF::kOk},
        {"XMP then EXIF", jpeg({xmp, exif}), EXIF::kOk},
        {"APP1 of another kind", jpeg({otherApp1, exif}), EXIF::kOk},
        {"segment past the end", truncated, EXIF::kNotJpeg},
        {"segment past the end after EXIF", truncatedAfterExif, EXIF::kOk},
        {"bad byte order", jpeg({exifSegment(badOrderTiff)}), EXIF::kBadByteOrder},
        {"bad byte order after EXIF", jpeg({exif, exifSegment(badOrderTiff)}), EXIF::kOk},
        {"magic 43", jpeg({exifSegment(TiffBuilder().magic(43).build())}), EXIF::kCorrupt},
        {"XMP header alone", jpeg({segment(0xE1, xmpPayload(""))}), EXIF::kCorrupt},
    };
    for (const auto& c : cases) {
        fw::Settings store;
        EXPECT_EQ(scan(c.file, store), c.expected) << c.name;
    }
    fw::Settings store;
    EXIF exif0;
    EXPECT_EQ(exif0.scanMarkers(nullptr, 100, store), EXIF::kNoExif);
}

TEST(MarkerWalk, FillBytesStandaloneMarkersAndOtherSegmentsAreSkipped) {
    Bytes file = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xD0, 0xFF, 0x01, 0x00};
    TiffBuilder::append(file, segment(0xDB, Bytes(64, 7)));
    TiffBuilder::append(file, segment(0xE1, exifPayload(TiffBuilder().ascii(Ifd::Zero, 0x0110, "M1").build())));
    TiffBuilder::append(file, {0xFF, 0xD9});
    fw::Settings store;
    EXPECT_EQ(scan(file, store), EXIF::kOk);
    EXPECT_EQ(stringOf(store, "Model"), "M1");
}

TEST(MarkerWalk, XmpAloneFillsTheStoreButTheNormalisersDoNotRun) {
    const Bytes file = jpeg({xmpSegment({{"drone-dji:GimbalPitchDegree", "-90"}, {"drone-dji:Latitude", "22"}})});
    fw::Settings store;
    EXIF exif;
    EXPECT_EQ(exif.parseBuffer(file.data(), file.size(), store), EXIF::kNoExif);
    EXPECT_EQ(stringOf(store, "drone-dji:GimbalPitchDegree"), "-90");
    EXPECT_FALSE(imagemeta::hasNumber(store, "CameraPitch"));
    EXPECT_FALSE(stringOf(store, "CameraName"));
}

TEST(MarkerWalk, TheWalkStopsAtTheSecondKindOfPacket) {
    // The scan ends on the XMP segment after EXIF, so a later EXIF is not read.
    const Bytes later = exifSegment(TiffBuilder().ascii(Ifd::Zero, 0x0110, "Later").build());
    const Bytes file = jpeg({exifSegment(TiffBuilder().ascii(Ifd::Zero, 0x0110, "First").build()),
                             xmpSegment({{"a:b", "1"}}), later});
    fw::Settings store;
    EXPECT_EQ(scan(file, store), EXIF::kOk);
    EXPECT_EQ(stringOf(store, "Model"), "First");
    EXPECT_EQ(stringOf(store, "a:b"), "1");
}

TEST(MarkerWalk, MalformedSegmentLengthsEndTheWalk) {
    struct Case {
        const char* name;
        Bytes tail;  // after SOI
    };
    const std::vector<Case> cases = {
        {"zero length", {0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xE0, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"length 1", {0xFF, 0xE1, 0x00, 0x01, 0xFF, 0xE1, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"length bytes cut off", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE1, 0x00}},
        {"APP1 past the end", {0xFF, 0xE1, 0xFF, 0xF0, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Bytes file = {0xFF, 0xD8};
        TiffBuilder::append(file, c.tail);
        fw::Settings store;
        EXPECT_EQ(scan(file, store), EXIF::kNotJpeg) << c.name;
    }
    // Only fill bytes up to the end.
    Bytes fill = {0xFF, 0xD8};
    fill.resize(40, 0xFF);
    fw::Settings store;
    EXPECT_EQ(scan(fill, store), EXIF::kNoExif);
}

// ---- EXIF segment, both byte orders ----------------------------------------

class ExifByteOrder : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Orders, ExifByteOrder, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "II" : "MM"; });

TEST_P(ExifByteOrder, ReadsTheTagsOfAllThreeIfds) {
    TiffBuilder t(GetParam());
    t.ascii(Ifd::Zero, 0x010F, "DJI")  // inline text
        .ascii(Ifd::Zero, 0x0110, "FC6310")
        .ascii(Ifd::Zero, 0x010E, "a description")
        .u16(Ifd::Zero, 0x0112, 6)
        .rational(Ifd::Zero, 0x011A, 72, 1)
        .u16(Ifd::Zero, 0x0128, 2)
        .ascii(Ifd::Zero, 0x0132, "2021:03:04 05:06:07")
        .u32(Ifd::Zero, 0x1001, 4000)
        .u16(Ifd::Zero, 0x1002, 3000)
        .u16(Ifd::Zero, 0x0102, 8)
        .rational(Ifd::Exif, 0x829A, 1, 500)
        .rational(Ifd::Exif, 0x829D, 28, 10)
        .u16(Ifd::Exif, 0x8827, 100)
        .ascii(Ifd::Exif, 0x9003, "2021:03:04 05:06:08")
        .rational(Ifd::Exif, 0x9204, -7, 10, 10)
        .rational(Ifd::Exif, 0x920A, 88, 10)
        .ascii(Ifd::Exif, 0x9291, "123")
        .u32(Ifd::Exif, 0xA002, 5472)
        .u16(Ifd::Exif, 0xA003, 3648)
        .u16(Ifd::Exif, 0xA405, 24)
        .rationals(Ifd::Exif, 0xA432, {{88, 10}, {88, 10}, {28, 10}, {110, 10}})
        .ascii(Ifd::Exif, 0xA433, "DJI")
        .ascii(Ifd::Exif, 0xA434, "24mm lens")
        .byte(Ifd::Gps, 0x0001, 'S', 2)
        .rationals(Ifd::Gps, 0x0002, {{22, 1}, {30, 1}, {0, 1}})
        .byte(Ifd::Gps, 0x0003, 'W', 2)
        .rationals(Ifd::Gps, 0x0004, {{113, 1}, {15, 1}, {3600, 100}})
        .byte(Ifd::Gps, 0x0005, 1)
        .rational(Ifd::Gps, 0x0006, 125, 10)
        .rationals(Ifd::Gps, 0x0007, {{5, 1}, {6, 1}, {75, 10}})
        .rational(Ifd::Gps, 0x000B, 9, 10)
        .ascii(Ifd::Gps, 0x0012, "WGS-84")
        .ascii(Ifd::Gps, 0x001D, "2021:03:04")
        .u16(Ifd::Gps, 0x001E, 1);
    fw::Settings store;
    ASSERT_EQ(parseExif(t.build(), store), EXIF::kOk);

    EXPECT_EQ(stringOf(store, "Make"), "DJI");
    EXPECT_EQ(stringOf(store, "Model"), "FC6310");
    EXPECT_EQ(stringOf(store, "ImageDescription"), "a description");
    EXPECT_EQ(intOf(store, "Orientation"), 6);
    EXPECT_EQ(doubleOf(store, "XResolution"), 72.0);
    EXPECT_EQ(intOf(store, "ResolutionUnit"), 2);
    EXPECT_EQ(stringOf(store, "DateTime"), "2021:03:04 05:06:07");
    EXPECT_EQ(intOf(store, "RelatedImageWidth"), 4000);
    EXPECT_EQ(intOf(store, "RelatedImageHeight"), 3000);
    EXPECT_EQ(intOf(store, "BitsPerSample"), 8);

    EXPECT_DOUBLE_EQ(*doubleOf(store, "ExposureTime"), 0.002);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FNumber"), 2.8);
    EXPECT_EQ(intOf(store, "ISOSpeedRatings"), 100);
    EXPECT_EQ(stringOf(store, "DateTimeOriginal"), "2021:03:04 05:06:08");
    EXPECT_DOUBLE_EQ(*doubleOf(store, "ExposureBiasValue"), -0.7);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FocalLength"), 8.8);
    EXPECT_EQ(stringOf(store, "SubSecTimeOriginal"), "123");
    EXPECT_EQ(intOf(store, "ImageWidth"), 5472);
    EXPECT_EQ(intOf(store, "ImageHeight"), 3648);
    EXPECT_EQ(doubleOf(store, "FocalLengthIn35mm"), 24.0);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FocalLengthMin"), 8.8);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FocalLengthMax"), 8.8);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FStopMin"), 2.8);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "FStopMax"), 11.0);
    EXPECT_EQ(stringOf(store, "LensInfo.Make"), "DJI");
    EXPECT_EQ(stringOf(store, "LensInfo.Model"), "24mm lens");

    EXPECT_EQ(intOf(store, "LatComponents.direction"), 'S');
    EXPECT_EQ(intOf(store, "LonComponents.direction"), 'W');
    EXPECT_EQ(doubleOf(store, "LatComponents.minutes"), 30.0);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "Latitude"), -22.5);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "Longitude"), -(113.0 + 15.0 / 60 + 36.0 / 3600));
    EXPECT_EQ(intOf(store, "AltitudeRef"), 1);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "Altitude"), -12.5);
    EXPECT_EQ(stringOf(store, "GPSTimeStamp"), "5 6 7.5");
    EXPECT_DOUBLE_EQ(*doubleOf(store, "GPSDOP"), 0.9);
    EXPECT_EQ(stringOf(store, "GPSMapDatum"), "WGS-84");
    EXPECT_EQ(stringOf(store, "GPSDateStamp"), "2021:03:04");
    EXPECT_EQ(intOf(store, "GPSDifferential"), 1);
}

TEST_P(ExifByteOrder, ValueEdgeCases) {
    TiffBuilder t(GetParam());
    t.rational(Ifd::Zero, 0x011A, 5, 0)                       // zero denominator reads 0
        .rational(Ifd::Zero, 0x011B, 0xFFFFFFF0u, 2)          // unsigned rational above 2^31
        .add(Ifd::Zero, {0x0110, 2, 20, raw("2021:03:04 05:06:07\0"), {}})  // 19 characters, count 20
        .add(Ifd::Zero, {0x0131, 2, 12, raw("ab\0\0\0\0\0\0\0\0\0\0"), {}})  // trailing NULs dropped
        .add(Ifd::Zero, {0x8298, 2, 3, raw("AB\0"), {}})
        .rational(Ifd::Exif, 0xA405, 35, 1)                    // rational focal length in 35 mm
        .u32(Ifd::Exif, 0xA003, 7000)
        .u16(Ifd::Exif, 0xA002, 5000)
        .add(Ifd::Exif, {0x920A, 2, 4, raw("8mm\0"), {}})  // focal length as text
        .rationals(Ifd::Exif, 0xA432, {{10, 1}, {20, 1}})      // two of four lens values
        .rationals(Ifd::Gps, 0x0007, {{1, 1}, {2, 1}})         // two of three time parts
        .rational(Ifd::Gps, 0x0006, -3, 2, 10);
    fw::Settings store;
    ASSERT_EQ(parseExif(t.build(), store), EXIF::kOk);
    EXPECT_EQ(doubleOf(store, "XResolution"), 0.0);
    EXPECT_EQ(doubleOf(store, "YResolution"), double(0xFFFFFFF0u) / 2);
    EXPECT_EQ(stringOf(store, "Model"), "2021:03:04 05:06:07");
    EXPECT_EQ(stringOf(store, "Software"), "ab");
    EXPECT_EQ(stringOf(store, "Copyright"), "AB");
    EXPECT_EQ(doubleOf(store, "FocalLengthIn35mm"), 35.0);
    EXPECT_EQ(intOf(store, "ImageHeight"), 7000);
    EXPECT_EQ(intOf(store, "ImageWidth"), 5000);
    EXPECT_EQ(stringOf(store, "FocalLength"), "8mm");
    EXPECT_FALSE(imagemeta::hasNumber(store, "FocalLength"));
    EXPECT_EQ(doubleOf(store, "FocalLengthMax"), 20.0);
    EXPECT_FALSE(doubleOf(store, "FStopMin"));
    EXPECT_FALSE(stringOf(store, "GPSTimeStamp"));
    // No degree components: no conversion, and the altitude keeps its sign.
    EXPECT_EQ(doubleOf(store, "Altitude"), -1.5);
    EXPECT_FALSE(imagemeta::hasNumber(store, "Latitude"));
}

TEST_P(ExifByteOrder, TypeMismatchesLeaveKeysUnset) {
    TiffBuilder t(GetParam());
    t.u16(Ifd::Zero, 0x010F, 5)               // Make as a number
        .u32(Ifd::Zero, 0x0112, 1)            // Orientation as LONG
        .ascii(Ifd::Zero, 0x011A, "72")       // resolution as text
        .ascii(Ifd::Exif, 0xA002, "5472")     // width as text: 0
        .ascii(Ifd::Exif, 0xA405, "24")       // neither rational nor short: 0
        .u16(Ifd::Gps, 0x0001, 'N')           // direction not a byte
        .u16(Ifd::Gps, 0x0002, 22);
    fw::Settings store;
    ASSERT_EQ(parseExif(t.build(), store), EXIF::kOk);
    EXPECT_FALSE(stringOf(store, "Make"));
    EXPECT_FALSE(intOf(store, "Orientation"));
    EXPECT_FALSE(doubleOf(store, "XResolution"));
    EXPECT_EQ(intOf(store, "ImageWidth"), 0);
    EXPECT_EQ(doubleOf(store, "FocalLengthIn35mm"), 0.0);
    EXPECT_FALSE(intOf(store, "LatComponents.direction"));
    EXPECT_FALSE(doubleOf(store, "LatComponents.degrees"));
}

TEST_P(ExifByteOrder, ValuesOutsideTheDataLeaveKeysUnset) {
    TiffBuilder t(GetParam());
    t.add(Ifd::Zero, {0x0110, 2, 10, {}, 4000})            // text offset past the end
        .add(Ifd::Zero, {0x0131, 2, 0xFFFFFFF0u, {}, 8})    // huge count
        .add(Ifd::Zero, {0x011A, 5, 1, {}, 0xFFFFFFFCu})    // offset that wraps in 32 bits
        .add(Ifd::Zero, {0x011B, 5, 1, {}, 0xFFFFFFFFu})
        .add(Ifd::Exif, {0xA432, 5, 0xFFFFFFFFu, {}, 0xFFFFFFF8u})
        .add(Ifd::Exif, {0xA405, 5, 1, {}, 0x7FFFFFFF})    // falls back to 0
        .ascii(Ifd::Exif, 0x0110, "x");
    fw::Settings store;
    ASSERT_EQ(parseExif(t.build(), store), EXIF::kOk);
    EXPECT_FALSE(stringOf(store, "Model"));
    EXPECT_FALSE(stringOf(store, "Software"));
    EXPECT_FALSE(doubleOf(store, "XResolution"));
    EXPECT_FALSE(doubleOf(store, "YResolution"));
    EXPECT_FALSE(doubleOf(store, "FocalLengthMin"));
    EXPECT_EQ(doubleOf(store, "FocalLengthIn35mm"), 0.0);
}

TEST_P(ExifByteOrder, StructureErrors) {
    const bool le = GetParam();
    struct Case {
        const char* name;
        Bytes tiff;
        int expected;
    };
    Bytes shortHeader = TiffBuilder(le).build();
    shortHeader.resize(7);
    Bytes cutIfd = TiffBuilder(le).u16(Ifd::Zero, 0x0112, 1).u16(Ifd::Zero, 0x0128, 1).build();
    cutIfd.resize(cutIfd.size() - 4);  // the next-IFD offset is missing
    Bytes cutExif = TiffBuilder(le).u16(Ifd::Exif, 0x8827, 100).build();
    cutExif.resize(cutExif.size() - 2);
    const std::vector<Case> cases = {
        {"header cut", shortHeader, EXIF::kCorrupt},
        {"byte order XX", TiffBuilder(le).byteOrderMark("XX").build(), EXIF::kBadByteOrder},
        {"magic 43", TiffBuilder(le).magic(43).build(), EXIF::kCorrupt},
        {"IFD0 past the end", TiffBuilder(le).ifd0Offset(1000).build(), EXIF::kCorrupt},
        {"IFD0 offset wraps", TiffBuilder(le).ifd0Offset(0xFFFFFFFEu).build(), EXIF::kCorrupt},
        {"IFD0 entries past the end", cutIfd, EXIF::kCorrupt},
        {"Exif entries past the end", cutExif, EXIF::kCorrupt},
        {"Exif pointer past the end", TiffBuilder(le).exifPointer(5000).build(), EXIF::kOk},
        {"Exif pointer wraps", TiffBuilder(le).exifPointer(0xFFFFFFFFu).build(), EXIF::kOk},
        {"GPS pointer past the end", TiffBuilder(le).gpsPointer(5000).build(), EXIF::kOk},
        {"GPS pointer at IFD0", TiffBuilder(le).u16(Ifd::Zero, 0x0112, 1).gpsPointer(8).build(), EXIF::kOk},
    };
    for (const auto& c : cases) {
        fw::Settings store;
        EXPECT_EQ(parseExif(c.tiff, store), c.expected) << c.name;
    }
    // GPS entries that do not fit: the pointer aims at four bytes appended
    // at the end, which hold a count of 1285 entries.
    const uint32_t at = uint32_t(TiffBuilder(le).u16(Ifd::Zero, 0x0112, 1).gpsPointer(0).build().size());
    Bytes tiff = TiffBuilder(le).u16(Ifd::Zero, 0x0112, 1).gpsPointer(at).build();
    tiff.insert(tiff.end(), {0x05, 0x05, 0, 0});
    fw::Settings store;
    EXPECT_EQ(parseExif(tiff, store), EXIF::kCorrupt);

    fw::Settings other;
    EXIF exif;
    EXPECT_EQ(exif.parseExifSegment(raw("Exif\0").data(), 5, other), EXIF::kNoExif);
    EXPECT_EQ(exif.parseExifSegment(raw("Exig\0\0II*\0\x08\0\0\0").data(), 14, other), EXIF::kNoExif);
    EXPECT_EQ(exif.parseExifSegment(nullptr, 100, other), EXIF::kNoExif);
}

TEST(ExifSegment, ByteOrderFlagFollowsTheHeader) {
    EXIF exif;
    fw::Settings store;
    const Bytes mm = exifPayload(minimalTiff(false));
    ASSERT_EQ(exif.parseExifSegment(mm.data(), mm.size(), store), EXIF::kOk);
    EXPECT_FALSE(exif.littleEndian());
    const Bytes ii = exifPayload(minimalTiff(true));
    ASSERT_EQ(exif.parseExifSegment(ii.data(), ii.size(), store), EXIF::kOk);
    EXPECT_TRUE(exif.littleEndian());
}

TEST(GpsConversion, NeedsAllSixComponents) {
    fw::Settings store;
    imagemeta::storeDouble(store, "LatComponents.degrees", 22);
    imagemeta::storeDouble(store, "LatComponents.minutes", 30);
    imagemeta::storeDouble(store, "LatComponents.seconds", 0);
    imagemeta::storeDouble(store, "LonComponents.degrees", 10);
    imagemeta::storeDouble(store, "LonComponents.minutes", 0);
    imagemeta::storeInt(store, "LatComponents.direction", 'S');
    EXIF exif;
    exif.convertGpsCoordinates(store);
    EXPECT_FALSE(imagemeta::hasNumber(store, "Latitude"));
    imagemeta::storeDouble(store, "LonComponents.seconds", 36);
    exif.convertGpsCoordinates(store);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "Latitude"), -22.5);
    EXPECT_DOUBLE_EQ(*doubleOf(store, "Longitude"), 10.01);
    EXPECT_FALSE(imagemeta::hasNumber(store, "Altitude"));
}

// ---- XMP packet -------------------------------------------------------------

namespace {

int parseXmp(const std::string& packet, fw::Settings& store) {
    const Bytes payload = xmpPayload(packet);
    EXIF exif;
    return exif.parseXmpSegment(payload.data(), payload.size(), store);
}

}  // namespace

TEST(XmpPacket, AttributesOfTheFirstDescriptionAreStoredAsText) {
    const std::string packet =
        "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
        "  <rdf:Description rdf:about=\"DJI Meta Data\" drone-dji:GimbalPitchDegree=\"-89.90\"\n"
        "     Camera:Pitch=\" 1 &amp; 2 \" drone-dji:GimbalPitchDegree2=\"x\">\n"
        "   <drone-dji:Child>ignored</drone-dji:Child>\n"
        "  </rdf:Description>\n"
        "  <rdf:Description drone-dji:Second=\"1\"/>\n"
        " </rdf:RDF>\n"
        "</x:xmpmeta>\n"
        "<?xpacket end=\"w\"?>trailing junk <<<";
    fw::Settings store;
    ASSERT_EQ(parseXmp(packet, store), EXIF::kOk);
    EXPECT_TRUE(imagemeta::hasText(store, "rdf:about"));
    EXPECT_EQ(stringOf(store, "rdf:about"), "DJI Meta Data");
    EXPECT_EQ(stringOf(store, "drone-dji:GimbalPitchDegree"), "-89.90");
    EXPECT_EQ(stringOf(store, "Camera:Pitch"), " 1 & 2 ");
    EXPECT_FALSE(imagemeta::hasText(store, "drone-dji:Child"));
    EXPECT_FALSE(imagemeta::hasText(store, "drone-dji:Second"));
}

TEST(XmpPacket, AlternativeRootAndMissingElements) {
    struct Case {
        const char* name;
        std::string packet;
        bool stored;
    };
    const std::vector<Case> cases = {
        {"xmp:xmpmeta root", xmpPacket({{"a:b", "1"}}, "xmp:xmpmeta"), true},
        {"other root", xmpPacket({{"a:b", "1"}}, "y:xmpmeta"), false},
        {"no rdf:RDF", "<x:xmpmeta><rdf:Other><rdf:Description a:b=\"1\"/></rdf:Other></x:xmpmeta>", false},
        {"no rdf:Description", "<x:xmpmeta><rdf:RDF><rdf:Desc a:b=\"1\"/></rdf:RDF></x:xmpmeta>", false},
        {"not XML", "<x:xmpmeta><rdf:RDF><rdf:Description a:b=\"1\"></x:xmpmeta>", false},
        {"second top-level element", "<z/><x:xmpmeta><rdf:RDF><rdf:Description a:b=\"1\"/></rdf:RDF></x:xmpmeta>",
         true},
        {"x:xmpmeta after xmp:xmpmeta",
         "<xmp:xmpmeta><rdf:RDF><rdf:Description a:b=\"2\"/></rdf:RDF></xmp:xmpmeta>"
         "<x:xmpmeta><rdf:RDF><rdf:Description a:b=\"1\"/></rdf:RDF></x:xmpmeta>",
         true},
        {"first rdf:RDF without a Description",
         "<x:xmpmeta><rdf:RDF/><rdf:RDF><rdf:Description a:b=\"1\"/></rdf:RDF></x:xmpmeta>", false},
    };
    for (const auto& c : cases) {
        fw::Settings store;
        EXPECT_EQ(parseXmp(c.packet, store), EXIF::kOk) << c.name;
        EXPECT_EQ(imagemeta::hasText(store, "a:b"), c.stored) << c.name;
        if (c.stored) {
            EXPECT_EQ(stringOf(store, "a:b"), "1") << c.name;
        }
    }
}

TEST(XmpPacket, HeaderChecks) {
    EXIF exif;
    fw::Settings store;
    const Bytes id = xmpPayload("");
    EXPECT_EQ(exif.parseXmpSegment(id.data(), 28, store), EXIF::kNoXmp);
    EXPECT_EQ(exif.parseXmpSegment(id.data(), 29, store), EXIF::kCorrupt);
    EXPECT_EQ(exif.parseXmpSegment(nullptr, 100, store), EXIF::kNoXmp);
    Bytes wrong = xmpPayload("<x:xmpmeta/>");
    wrong[28] = ' ';  // the NUL after the identifier
    EXPECT_EQ(exif.parseXmpSegment(wrong.data(), wrong.size(), store), EXIF::kNoXmp);
    wrong = xmpPayload("<x:xmpmeta/>");
    wrong[4] = 'X';
    EXPECT_EQ(exif.parseXmpSegment(wrong.data(), wrong.size(), store), EXIF::kNoXmp);
}

TEST(XmpPacket, TextReplacesEarlierTextAndNumberKeysDoNotThrow) {
    fw::Settings store;
    store.setvar("a:b", "old", false);
    imagemeta::storeInt(store, "ImageWidth", 10);
    const std::string packet = xmpPacket({{"a:b", "new"}, {"ImageWidth", "wide"}, {"c:d", "2"}});
    ASSERT_EQ(parseXmp(packet, store), EXIF::kOk);
    EXPECT_EQ(stringOf(store, "a:b"), "new");
    EXPECT_EQ(intOf(store, "ImageWidth"), 10);
    EXPECT_EQ(stringOf(store, "c:d"), "2");
}
