#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_serial.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>

namespace {

// A read-only buffer over bytes that records the largest single request, and
// can refuse to seek (as a pipe does).
class ByteSource : public std::streambuf {
public:
    ByteSource(std::string bytes, bool seekable) : bytes_(std::move(bytes)), seekable_(seekable) {
        char* b = bytes_.data();
        setg(b, b, b + bytes_.size());
    }
    std::streamsize largestRequest = 0;

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        largestRequest = std::max(largestRequest, n);
        const std::streamsize k = std::min<std::streamsize>(n, egptr() - gptr());
        std::memcpy(s, gptr(), size_t(k));
        gbump(int(k));
        return k;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (!seekable_) return pos_type(off_type(-1));
        char* base = eback();
        off_type at = dir == std::ios_base::beg ? off : dir == std::ios_base::cur ? (gptr() - base) + off
                                                                                 : off_type(bytes_.size()) + off;
        if (at < 0 || at > off_type(bytes_.size())) return pos_type(off_type(-1));
        setg(base, base + at, egptr());
        return pos_type(at);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    std::string bytes_;
    bool seekable_;
};

std::string le32(int32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = char((uint32_t(v) >> (8 * i)) & 0xff);
    return s;
}

std::string le64(int64_t v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = char((uint64_t(v) >> (8 * i)) & 0xff);
    return s;
}

std::string leDouble(double d) {
    int64_t bits;
    std::memcpy(&bits, &d, 8);
    return le64(bits);
}

fw::GImage pattern(int rows, int cols, int type, int seed) {
    cv::Mat m(rows, cols, type);
    cv::RNG rng{uint64_t(seed)};
    rng.fill(m, cv::RNG::UNIFORM, 0, 200);
    return fw::GImage(m);
}

bool sameImage(const fw::GImage& a, const fw::GImage& b) {
    if (a.cols != b.cols || a.rows != b.rows || a.type != b.type) return false;
    const int64_t n = tileserial::imageBytes(a);
    return n == 0 || std::memcmp(a.data, b.data, size_t(n)) == 0;
}

TerrainFusionMultiTile sampleTile() {
    TerrainFusionMultiTile t(pattern(8, 8, CV_8UC3, 1), pattern(4, 4, CV_32FC1, 2), TileKey{-3, 70000, 18}, 1234.5,
                             pattern(8, 8, CV_8UC1, 3), pattern(8, 8, CV_8UC1, 4), 9);
    t.imagePyramid = {pattern(8, 8, CV_8UC3, 5), pattern(4, 4, CV_8UC3, 6)};
    t.elevationPyramid = {pattern(3, 5, CV_32FC3, 7)};  // element size 12
    t.weightPyramid = {pattern(2, 2, CV_16UC1, 8), fw::GImage(0, 6, CV_8UC1), pattern(1, 1, CV_64FC1, 9)};
    return t;
}

std::string serialized(const fw::ImageTile& t) {
    std::ostringstream out;
    EXPECT_TRUE(t.serialize(out));
    return out.str();
}

}  // namespace

TEST(TileSerial, EmptyMultiTileIs56Bytes) {
    const std::string bytes = serialized(TerrainFusionMultiTile());
    const std::string expected =
        le64(0) + le64(0) + le64(0) + le32(0) + le32(0) + le32(-1) + leDouble(-1.0) + le32(0) + le32(0) + le32(0);
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(bytes, expected);
}

TEST(TileSerial, MultiTileLayout) {
    TerrainFusionMultiTile t;
    t.key = TileKey{1, -2, 19};
    t.timestamp = 0.25;
    t.weight = pattern(2, 3, CV_8UC1, 1);
    t.elevationPyramid = {pattern(1, 2, CV_32FC1, 2)};
    const std::string bytes = serialized(t);
    std::string expected = le64(0) + le64(1) + le32(2) + le32(1) + le32(CV_32FC1);
    expected.append(reinterpret_cast<const char*>(t.elevationPyramid[0].data), 8);
    expected += le64(0) + le32(1) + le32(-2) + le32(19) + leDouble(0.25) + le32(3) + le32(2) + le32(CV_8UC1);
    expected.append(reinterpret_cast<const char*>(t.weight.data), 6);
    EXPECT_EQ(bytes, expected);
}

TEST(TileSerial, RoundTripIsByteIdentical) {
    const TerrainFusionMultiTile original = sampleTile();
    const std::string first = serialized(original);

    TerrainFusionMultiTile read;
    std::istringstream in(first);
    ASSERT_TRUE(read.deserialize(in));
    EXPECT_FALSE(in.fail());
    EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
    EXPECT_EQ(serialized(read), first);

    EXPECT_EQ(read.getTileKey(), original.key);
    EXPECT_EQ(read.getTimestamp(), 1234.5);
    ASSERT_EQ(read.weightPyramid.size(), 3u);
    EXPECT_TRUE(sameImage(read.weightPyramid[2], original.weightPyramid[2]));
    EXPECT_EQ(read.weightPyramid[1].cols, 6);  // a 0-row image keeps its shape
    EXPECT_EQ(read.weightPyramid[1].rows, 0);
    EXPECT_EQ(read.weightPyramid[1].data, nullptr);
    EXPECT_TRUE(sameImage(read.weight, original.weight));
    // The fusion form holds neither image, elevation, aux nor tag.
    EXPECT_TRUE(read.image.empty());
    EXPECT_TRUE(read.elevation.empty());
    EXPECT_TRUE(read.aux.empty());
    EXPECT_EQ(read.tag, 0u);
    // Images read own 16-byte aligned pixels.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(read.weight.data) % 16, 0u);
    EXPECT_NE(read.weight.data, original.weight.data);
}

TEST(TileSerial, RoundTripOfEveryClass) {
    const fw::GImage img = pattern(5, 7, CV_8UC3, 1);
    const fw::GImage elev = pattern(3, 2, CV_32FC1, 2);
    {
        fw::ImageTile read;
        std::istringstream in(serialized(fw::ImageTile(img)));
        read.deserialize(in);
        EXPECT_TRUE(sameImage(read.image, img));
    }
    {
        fw::TerrainTileWithInfo t(img, elev, TileKey{4, 5, 6}, 7.0), read;
        const std::string bytes = serialized(t);
        EXPECT_EQ(bytes.size(), 12 + 105 + 12 + 24 + 12 + 8u);
        std::istringstream in(bytes);
        read.deserialize(in);
        EXPECT_EQ(serialized(read), bytes);
        EXPECT_EQ(read.key, (TileKey{4, 5, 6}));
    }
    {
        TerrainFusionTile t(img, elev, TileKey{4, 5, 6}, 7.0, pattern(5, 7, CV_8UC1, 3), img, 5), read;
        const std::string bytes = serialized(t);
        EXPECT_EQ(bytes.size(), 12 + 8 + 12 + 35u);
        std::istringstream in(bytes);
        read.deserialize(in);
        EXPECT_EQ(serialized(read), bytes);
        EXPECT_TRUE(read.image.empty());
    }
}

// Every prefix of a valid form, from seekable and unseekable streams: true,
// a failed stream, no request beyond what the stream holds, and the fields
// read so far.
TEST(TileSerial, EveryTruncatedPrefixReads) {
    const std::string full = serialized(sampleTile());
    for (bool seekable : {true, false}) {
        for (size_t n = 0; n < full.size(); ++n) {
            ByteSource source(full.substr(0, n), seekable);
            std::istream in(&source);
            TerrainFusionMultiTile read;
            ASSERT_TRUE(read.deserialize(in));
            ASSERT_TRUE(in.fail()) << n;
            // Seekable: nothing beyond what is there; else steps of at most 1 MiB.
            const std::streamsize bound = seekable ? std::streamsize(std::max<size_t>(n, 8)) : std::streamsize(1) << 20;
            ASSERT_LE(source.largestRequest, bound) << n;
            // Whatever arrived re-serialises as a prefix-consistent tile.
            std::ostringstream out;
            ASSERT_TRUE(read.serialize(out)) << n;
        }
    }
    // A form cut inside the last pyramid keeps the levels that arrived whole.
    const TerrainFusionMultiTile original = sampleTile();
    const size_t cut = full.size() - (12 + 8 + 12 + 64) - 12 - 3;  // inside the last weight level
    std::istringstream in(full.substr(0, cut));
    TerrainFusionMultiTile read;
    read.deserialize(in);
    EXPECT_EQ(read.imagePyramid.size(), 2u);
    EXPECT_EQ(read.elevationPyramid.size(), 1u);
    EXPECT_EQ(read.weightPyramid.size(), 2u);
    EXPECT_EQ(read.key, (TileKey{0, 0, -1}));
    EXPECT_EQ(read.timestamp, -1.0);
}

TEST(TileSerial, OversizedAndNegativeSizesAreRefused) {
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"count beyond the bytes left", le64(int64_t(1) << 40) + std::string(24, '\0')},
        {"negative count", le64(-1) + std::string(48, '\0')},
        {"image beyond the bytes left", le64(1) + le32(30000) + le32(30000) + le32(CV_32FC3) + std::string(64, 'x')},
        {"image size overflowing 64 bits", le64(1) + le32(2147483647) + le32(2147483647) + le32(CV_8UC(512))},
        {"negative columns", le64(1) + le32(-4) + le32(4) + le32(CV_8UC1) + std::string(64, 'x')},
        {"negative type", le64(1) + le32(4) + le32(4) + le32(-8) + std::string(64, 'x')},
        {"type without a matching element size", le64(1) + le32(2) + le32(2) + le32(7) + std::string(64, 'x')},
    };
    for (const Case& c : cases) {
        for (bool seekable : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (seekable ? ", seekable" : ", unseekable"));
            ByteSource source(c.bytes, seekable);
            std::istream in(&source);
            TerrainFusionMultiTile read;
            read.imagePyramid = {pattern(2, 2, CV_8UC1, 1)};
            EXPECT_TRUE(read.deserialize(in));
            EXPECT_TRUE(in.fail());
            EXPECT_LE(source.largestRequest, std::streamsize(1) << 20);
            // The refused field keeps what it held; nothing after it is read.
            EXPECT_EQ(read.weightPyramid.size(), 0u);
            EXPECT_EQ(read.key, (TileKey{0, 0, -1}));
        }
    }
    // Seekable: refused before reading; the vector is left as it was.
    ByteSource source(cases[0].bytes, true);
    std::istream in(&source);
    TerrainFusionMultiTile read;
    read.imagePyramid = {pattern(2, 2, CV_8UC1, 1)};
    read.deserialize(in);
    EXPECT_EQ(read.imagePyramid.size(), 1u);
}

TEST(TileSerial, UnseekableOversizedCountTakesOnlyWhatArrives) {
    fw::GImage level = pattern(2, 2, CV_8UC1, 1);
    std::string bytes = le64(int64_t(1) << 40);
    for (int i = 0; i < 2; ++i) {
        bytes += le32(2) + le32(2) + le32(CV_8UC1);
        bytes.append(reinterpret_cast<const char*>(level.data), 4);
    }
    ByteSource source(bytes, false);
    std::istream in(&source);
    TerrainFusionMultiTile read;
    read.deserialize(in);
    EXPECT_TRUE(in.fail());
    ASSERT_EQ(read.imagePyramid.size(), 2u);
    EXPECT_TRUE(sameImage(read.imagePyramid[1], level));
}

TEST(TileSerial, UnwritableImagesWriteNothing) {
    // A type whose serial element size (8) exceeds the buffer's (2 for CV_16F).
    fw::GImage half(cv::Mat(4, 4, CV_16FC1, cv::Scalar(0)));
    fw::GImage negative;
    negative.cols = -1;
    negative.rows = 3;
    fw::GImage noPixels;
    noPixels.cols = noPixels.rows = 4;
    for (const fw::GImage& bad : {half, negative, noPixels}) {
        TerrainFusionMultiTile t;
        t.weightPyramid = {bad};
        std::ostringstream out;
        EXPECT_FALSE(t.serialize(out));
        EXPECT_TRUE(out.str().empty());
        fw::ImageTile plain(bad);
        EXPECT_FALSE(plain.serialize(out));
        EXPECT_TRUE(out.str().empty());
    }
}
