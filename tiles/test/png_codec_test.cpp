// PNG tile codec: files checked by pngcheck and OpenCV, portable and
// accelerated paths compared byte for byte, and the strict decoder's refusals.
#include "tiles/png_codec.h"

#include "png_tile_images.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using R = PngCodecDecodeResult;
using Bytes = std::vector<uint8_t>;

class PngCodecTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { PngCodec::init(); }
    void TearDown() override { PngCodec::setAccelerationEnabled(true); }
};

Bytes encode(const Bytes& pixels, uint32_t w, uint32_t h, uint32_t c, uint32_t flags) {
    Bytes out;
    EXPECT_TRUE(PngCodec::encodeImage(pixels.data(), w, h, c, out, flags));
    return out;
}

struct Decoded {
    R result;
    Bytes pixels;
    uint32_t width = 0, height = 0, channels = 0;
};

Decoded decode(const Bytes& file, uint32_t desired) {
    Decoded d;
    d.result = PngCodec::decodeImage(file.data(), uint32_t(file.size()), d.pixels, d.width, d.height, d.channels,
                                     desired);
    return d;
}

// The pixels as OpenCV reads the file, back in R, G, B(, A) order.
Bytes readWithOpenCv(const Bytes& file, uint32_t& w, uint32_t& h, uint32_t& c) {
    cv::Mat m = cv::imdecode(cv::Mat(1, int(file.size()), CV_8UC1, const_cast<uint8_t*>(file.data())),
                             cv::IMREAD_UNCHANGED);
    if (m.empty() || m.depth() != CV_8U) return {};
    w = uint32_t(m.cols);
    h = uint32_t(m.rows);
    c = uint32_t(m.channels());
    Bytes rgb(size_t(w) * h * c);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = m.ptr<uint8_t>(int(y));
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* o = &rgb[(size_t(y) * w + x) * c];
            const uint8_t* i = row + size_t(x) * c;
            o[0] = i[2];
            o[1] = i[1];
            o[2] = i[0];
            if (c == 4) o[3] = i[3];
        }
    }
    return rgb;
}

std::string pngcheck(const testsupport::TempDir& dir, const Bytes& file, int& exitCode) {
    const std::string path = dir.write("tile.png", std::string(file.begin(), file.end()));
    const testsupport::ProcessResult r = testsupport::runProcess({testsupport::kPngcheckPath, "-v", path});
    exitCode = r.exitCode;
    return r.out + r.err;
}

Bytes dropAlpha(const Bytes& rgba) {
    Bytes rgb;
    for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
    return rgb;
}

Bytes addAlpha(const Bytes& rgb) {
    Bytes rgba;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgba.insert(rgba.end(), &rgb[i], &rgb[i] + 3);
        rgba.push_back(255);
    }
    return rgba;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Bitwise CRC-32, independent of the codec's table and folding paths.
uint32_t referenceCrc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

uint32_t referenceAdler(const uint8_t* p, size_t n) {
    uint64_t a = 1, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return uint32_t(b << 16 | a);
}

// Rewrites the CRC of the chunk whose length field is at offset.
void fixCrc(Bytes& file, size_t offset) {
    const uint32_t length = be32(&file[offset]);
    putBe32(&file[offset + 8 + length], referenceCrc(&file[offset + 4], length + 4));
}

Bytes chunk(const char* type, const Bytes& data) {
    Bytes c(data.size() + 12);
    putBe32(c.data(), uint32_t(data.size()));
    std::copy(type, type + 4, c.begin() + 4);
    std::copy(data.begin(), data.end(), c.begin() + 8);
    putBe32(&c[c.size() - 4], referenceCrc(&c[4], data.size() + 4));
    return c;
}

struct ImageCase {
    const char* name;
    uint32_t width, height;
    int kind;  // 0 ortho texture, 1 flat, 2 noise
};

const ImageCase kImages[] = {
    {"ortho 256x256", 256, 256, 0}, {"ortho 300x9", 300, 9, 0}, {"flat 256x256", 256, 256, 1},
    {"flat 200x3", 200, 3, 1},      {"noise 64x40", 64, 40, 2}, {"one pixel", 1, 1, 0},
    {"one column", 1, 37, 0},       {"odd 17x5", 17, 5, 0},
};

Bytes makeImage(const ImageCase& ic, uint32_t channels) {
    if (ic.kind == 1) return pngtest::flatTile(ic.width, ic.height, channels);
    if (ic.kind == 2) return pngtest::noiseTile(ic.width, ic.height, channels, 5);
    return pngtest::orthoTile(ic.width, ic.height, channels, 3);
}

TEST_F(PngCodecTest, EveryFileWePassesPngcheckAndDecodesWithOpenCvAndOurselves) {
    ASSERT_STRNE(testsupport::kPngcheckPath, "") << "pngcheck is missing (scripts/setup.sh installs it)";
    testsupport::TempDir dir;
    for (const ImageCase& ic : kImages) {
        for (uint32_t channels : {3u, 4u}) {
            const Bytes pixels = makeImage(ic, channels);
            for (uint32_t flags : {0u, 1u, 2u, 3u}) {
                SCOPED_TRACE(std::string(ic.name) + " channels " + std::to_string(channels) + " flags " +
                             std::to_string(flags));
                const Bytes file = encode(pixels, ic.width, ic.height, channels, flags);
                int code = -1;
                const std::string report = pngcheck(dir, file, code);
                EXPECT_EQ(code, 0) << report;
                EXPECT_NE(report.find("No errors detected"), std::string::npos) << report;

                uint32_t w = 0, h = 0, c = 0;
                EXPECT_EQ(readWithOpenCv(file, w, h, c), pixels);
                EXPECT_EQ(w, ic.width);
                EXPECT_EQ(h, ic.height);
                EXPECT_EQ(c, channels);

                const Decoded same = decode(file, channels);
                ASSERT_EQ(same.result, R::Success);
                EXPECT_EQ(same.pixels, pixels);
                EXPECT_EQ(same.width, ic.width);
                EXPECT_EQ(same.height, ic.height);
                EXPECT_EQ(same.channels, channels);
                const Decoded other = decode(file, channels == 3 ? 4 : 3);
                ASSERT_EQ(other.result, R::Success);
                EXPECT_EQ(other.pixels, channels == 3 ? addAlpha(pixels) : dropAlpha(pixels));
            }
        }
    }
}

TEST_F(PngCodecTest, FixedLayoutAroundOneIdat) {
    const Bytes pixels = pngtest::orthoTile(256, 256, 4, 1);
    for (uint32_t flags : {0u, 1u, 2u}) {
        SCOPED_TRACE(flags);
        const Bytes file = encode(pixels, 256, 256, 4, flags);
        ASSERT_GT(file.size(), 74u);
        const Bytes head{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                         0,    0,    1,    0,    0,    0,    1,    0,    8, 6};
        EXPECT_TRUE(std::equal(head.begin(), head.end(), file.begin()));
        EXPECT_EQ(be32(&file[29]), referenceCrc(&file[12], 17));
        const Bytes fdec{0, 0, 0, 5, 'f', 'd', 'E', 'C', 0x52, 0x24, 0x93, 0xE3, 0x00, 0xE5, 0xAB, 0x62, 0x99};
        EXPECT_TRUE(std::equal(fdec.begin(), fdec.end(), file.begin() + 33));
        EXPECT_EQ(be32(&file[46]), referenceCrc(&file[37], 9));
        const uint32_t length = be32(&file[50]);
        EXPECT_EQ(file.size(), 74u + length);
        EXPECT_EQ(std::string(file.begin() + 54, file.begin() + 58), "IDAT");
        EXPECT_EQ(file[58], 0x78);
        EXPECT_EQ(file[59], 0x01);
        EXPECT_EQ(be32(&file[58 + length]), referenceCrc(&file[54], length + 4));
        const Bytes iend{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
        EXPECT_TRUE(std::equal(iend.begin(), iend.end(), file.end() - 12));
    }
}

TEST_F(PngCodecTest, CompressedModesAreSmallerAndTwoPassBeatsTheFixedCode) {
    const Bytes ortho = pngtest::orthoTile(256, 256, 4, 9);
    const size_t stored = encode(ortho, 256, 256, 4, 2).size();
    const size_t fixed = encode(ortho, 256, 256, 4, 0).size();
    const size_t built = encode(ortho, 256, 256, 4, 1).size();
    EXPECT_GT(stored, 256u * (256 * 4 + 1));
    EXPECT_LT(fixed, stored * 3 / 4);
    EXPECT_LE(built, fixed);

    // One colour: each row is a filter byte, one pixel and runs of at most 63 pixels.
    const Bytes flat = pngtest::flatTile(256, 256, 4);
    EXPECT_LT(encode(flat, 256, 256, 4, 0).size(), 4000u);
    EXPECT_LT(encode(flat, 256, 256, 4, 1).size(), 2000u);
}

TEST_F(PngCodecTest, PortableAndAcceleratedPathsGiveIdenticalBytes) {
    const PngCodec::CpuFeatures f = PngCodec::cpuFeatures();
    ASSERT_TRUE(f.initialised);
    if (!PngCodec::clmulUsable()) GTEST_SKIP() << "this processor has no CLMUL/SSE4.1 path to compare";

    // Checksums over lengths around the folding and block boundaries, at odd offsets.
    Bytes data = pngtest::noiseTile(40010, 1, 3, 11);
    for (size_t length : {0, 1, 15, 16, 63, 64, 65, 127, 128, 200, 1000, 5551, 5552, 5553, 65536, 119999}) {
        for (size_t offset : {0, 1, 7}) {
            SCOPED_TRACE(std::to_string(length) + "@" + std::to_string(offset));
            const uint8_t* p = data.data() + offset;
            const uint32_t crc = referenceCrc(p, length);
            const uint32_t adler = referenceAdler(p, length);
            for (bool accelerated : {false, true}) {
                PngCodec::setAccelerationEnabled(accelerated);
                EXPECT_EQ(PngCodec::crc32(0, p, length), crc);
                EXPECT_EQ(PngCodec::adler32(1, p, length), adler);
                // Continued in two pieces.
                EXPECT_EQ(PngCodec::crc32(PngCodec::crc32(0, p, length / 3), p + length / 3, length - length / 3),
                          crc);
                EXPECT_EQ(
                    PngCodec::adler32(PngCodec::adler32(1, p, length / 3), p + length / 3, length - length / 3),
                    adler);
            }
        }
    }
    const uint8_t check[] = "123456789";
    EXPECT_EQ(PngCodec::crc32(0, check, 9), 0xCBF43926u);

    for (const ImageCase& ic : kImages) {
        for (uint32_t channels : {3u, 4u}) {
            const Bytes pixels = makeImage(ic, channels);
            for (uint32_t flags : {0u, 1u, 2u}) {
                SCOPED_TRACE(std::string(ic.name) + " " + std::to_string(channels) + " " + std::to_string(flags));
                PngCodec::setAccelerationEnabled(false);
                ASSERT_FALSE(PngCodec::simdUsable());
                const Bytes portable = encode(pixels, ic.width, ic.height, channels, flags);
                const Decoded portableDecode = decode(portable, 4);
                PngCodec::setAccelerationEnabled(true);
                ASSERT_TRUE(PngCodec::clmulUsable());
                EXPECT_EQ(encode(pixels, ic.width, ic.height, channels, flags), portable);
                const Decoded acceleratedDecode = decode(portable, 4);
                EXPECT_EQ(acceleratedDecode.result, R::Success);
                EXPECT_EQ(acceleratedDecode.pixels, portableDecode.pixels);
            }
        }
    }
}

TEST_F(PngCodecTest, EncoderRefusesEmptyOversizedAndOtherChannelCounts) {
    const Bytes pixels(64, 7);
    Bytes out;
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 0, 4, 3, out, 0));
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 4, 0, 3, out, 0));
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 4, 4, 2, out, 0));
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 4, 4, 5, out, 2));
    EXPECT_FALSE(PngCodec::encodeImage(nullptr, 4, 4, 3, out, 0));
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 0x1000001, 1, 3, out, 0));
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 1, 0x1000001, 3, out, 0));
    // 65536 x 65536 pixels: its scanlines alone pass 32 bits.
    EXPECT_FALSE(PngCodec::encodeImage(pixels.data(), 0x10000, 0x10000, 3, out, 0));
}

TEST_F(PngCodecTest, Width70000IsWrittenBigEndianAndRoundTrips) {
    const Bytes pixels = pngtest::orthoTile(70000, 2, 3, 4);
    for (uint32_t flags : {0u, 2u}) {
        const Bytes file = encode(pixels, 70000, 2, 3, flags);
        EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 20), (Bytes{0x00, 0x01, 0x11, 0x70}));
        const Decoded d = decode(file, 3);
        ASSERT_EQ(d.result, R::Success);
        EXPECT_EQ(d.width, 70000u);
        EXPECT_EQ(d.pixels, pixels);
        uint32_t w = 0, h = 0, c = 0;
        EXPECT_EQ(readWithOpenCv(file, w, h, c), pixels);
        int code = -1;
        testsupport::TempDir dir;
        const std::string report = pngcheck(dir, file, code);
        EXPECT_EQ(code, 0) << report;
    }
}

TEST_F(PngCodecTest, PngWrittenByOpenCvIsRefused) {
    const Bytes pixels = pngtest::orthoTile(64, 64, 3, 2);
    cv::Mat bgr(64, 64, CV_8UC3, const_cast<uint8_t*>(pixels.data()));
    for (int level : {0, 1, 9}) {
        std::vector<uint8_t> file;
        ASSERT_TRUE(cv::imencode(".png", bgr, file, {cv::IMWRITE_PNG_COMPRESSION, level}));
        const Decoded d = decode(file, 3);
        EXPECT_EQ(d.result, R::NotWrittenByThisEncoder);
        EXPECT_TRUE(d.pixels.empty());
        EXPECT_EQ(d.width, 64u);  // read as far as it went
        EXPECT_EQ(d.channels, 3u);
    }
}

// A valid file with one edit, and the result it must give.
struct Damage {
    const char* name;
    void (*edit)(Bytes&);
    R expected;
};

const Bytes& sampleFile() {
    static const Bytes file = [] {
        const Bytes pixels = pngtest::orthoTile(32, 16, 3, 6);
        Bytes out;
        PngCodec::encodeImage(pixels.data(), 32, 16, 3, out, 0);
        return out;
    }();
    return file;
}

size_t idatOffset() { return 50; }

const Damage kDamages[] = {
    {"bad signature", [](Bytes& f) { f[1] = 'Q'; }, R::NotPng},
    {"IHDR length 14", [](Bytes& f) { f[11] = 14; }, R::NotPng},
    {"shorter than a header", [](Bytes& f) { f.resize(57); }, R::NotPng},
    {"IHDR CRC", [](Bytes& f) { f[30] ^= 1; }, R::HeaderCrcFailed},
    {"fdEC CRC", [](Bytes& f) { f[47] ^= 1; }, R::HeaderCrcFailed},
    {"width 0", [](Bytes& f) { putBe32(&f[16], 0); fixCrc(f, 8); }, R::InvalidDimensions},
    {"height above 2^24", [](Bytes& f) { putBe32(&f[20], 0x1000001); fixCrc(f, 8); }, R::InvalidDimensions},
    {"more than 2^30 pixels", [](Bytes& f) { putBe32(&f[16], 0x8001); putBe32(&f[20], 0x8000); fixCrc(f, 8); },
     R::InvalidDimensions},
    {"bit depth 16", [](Bytes& f) { f[24] = 16; fixCrc(f, 8); }, R::NotWrittenByThisEncoder},
    {"grey colour type", [](Bytes& f) { f[25] = 0; fixCrc(f, 8); }, R::NotWrittenByThisEncoder},
    {"interlaced", [](Bytes& f) { f[28] = 1; fixCrc(f, 8); }, R::NotWrittenByThisEncoder},
    {"fdEC version 1", [](Bytes& f) { f[45] = 1; fixCrc(f, 33); }, R::NotWrittenByThisEncoder},
    {"fdEC renamed to an ancillary chunk", [](Bytes& f) { f[40] = 'D'; fixCrc(f, 33); }, R::NotWrittenByThisEncoder},
    {"second fdEC", [](Bytes& f) { const Bytes c(f.begin() + 33, f.begin() + 50); f.insert(f.begin() + 50, c.begin(), c.end()); },
     R::NotWrittenByThisEncoder},
    {"second IDAT", [](Bytes& f) { const Bytes c = chunk("IDAT", Bytes(8, 0)); f.insert(f.end() - 12, c.begin(), c.end()); },
     R::NotWrittenByThisEncoder},
    {"critical PLTE", [](Bytes& f) { const Bytes c = chunk("PLTE", Bytes(3, 0)); f.insert(f.begin() + 50, c.begin(), c.end()); },
     R::NotWrittenByThisEncoder},
    {"IDAT of 6 bytes", [](Bytes& f) { const Bytes c = chunk("IDAT", Bytes(6, 0)); f.resize(50); f.insert(f.end(), c.begin(), c.end());
        const Bytes e = chunk("IEND", {}); f.insert(f.end(), e.begin(), e.end()); }, R::InvalidIdat},
    {"IDAT stream damaged", [](Bytes& f) { f[idatOffset() + 8 + 2] ^= 0x04; }, R::NotWrittenByThisEncoder},
    {"zlib header 78 9C", [](Bytes& f) { f[idatOffset() + 9] = 0x9C; }, R::NotWrittenByThisEncoder},
    {"no IEND", [](Bytes& f) { f.resize(f.size() - 12); }, R::ChunkParsingFailed},
    {"chunk running past the end", [](Bytes& f) { putBe32(&f[f.size() - 12], 0xFFFFFFF0u); }, R::ChunkParsingFailed},
    {"chunk type with a digit", [](Bytes& f) { f[f.size() - 8] = '1'; }, R::ChunkParsingFailed},
    {"IEND cut short", [](Bytes& f) { f.resize(f.size() - 1); }, R::ChunkParsingFailed},
};

TEST_F(PngCodecTest, DecoderReportsEachDamage) {
    ASSERT_EQ(decode(sampleFile(), 3).result, R::Success);
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.name);
        Bytes file = sampleFile();
        damage.edit(file);
        const Decoded d = decode(file, 3);
        EXPECT_EQ(d.result, damage.expected);
        EXPECT_TRUE(d.pixels.empty());
    }
}

TEST_F(PngCodecTest, AncillaryChunksAreSkipped) {
    Bytes file = sampleFile();
    const Bytes text = chunk("tEXt", {'k', 0, 'v'});
    file.insert(file.end() - 12, text.begin(), text.end());
    file.insert(file.begin() + 33, text.begin(), text.end());
    EXPECT_EQ(decode(file, 3).result, R::Success);
}

TEST_F(PngCodecTest, InvalidArgumentsClearTheOutputs) {
    Bytes out{1, 2, 3};
    uint32_t w = 9, h = 9, c = 9;
    EXPECT_EQ(PngCodec::decodeImage(nullptr, 100, out, w, h, c, 3), R::InvalidArgument);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(w + h + c, 0u);
    EXPECT_EQ(PngCodec::decodeImage(sampleFile().data(), 0, out, w, h, c, 3), R::InvalidArgument);
    EXPECT_EQ(PngCodec::decodeImage(sampleFile().data(), uint32_t(sampleFile().size()), out, w, h, c, 2),
              R::InvalidArgument);
}

// A small file whose IHDR claims 32768 x 32768 RGB (3 GiB of output) must be
// refused without building that output.
TEST_F(PngCodecTest, HugeClaimsOfSmallFilesAreRefusedBeforeAllocating) {
    for (uint32_t desired : {3u, 4u}) {
        Bytes file = sampleFile();
        putBe32(&file[16], 32768);
        putBe32(&file[20], 32768);
        fixCrc(file, 8);
        const Decoded d = decode(file, desired);
        EXPECT_EQ(d.result, R::OutputTooLarge);
        EXPECT_TRUE(d.pixels.empty());
        EXPECT_EQ(d.width, 32768u);
    }
    // Stored stream of a 2 x 2 tile under a header claiming 4096 x 4096.
    const Bytes pixels = pngtest::flatTile(2, 2, 4);
    Bytes file = encode(pixels, 2, 2, 4, 2);
    putBe32(&file[16], 4096);
    putBe32(&file[20], 4096);
    fixCrc(file, 8);
    EXPECT_EQ(decode(file, 4).result, R::OutputTooLarge);
}

TEST_F(PngCodecTest, EveryTruncationAndByteFlipDecodesSafely) {
    for (uint32_t flags : {0u, 1u, 2u}) {
        const Bytes pixels = pngtest::orthoTile(12, 6, 4, 8);
        const Bytes file = encode(pixels, 12, 6, 4, flags);
        for (size_t n = 0; n < file.size(); ++n) {
            Bytes prefix(file.begin(), file.begin() + n);
            EXPECT_NE(decode(prefix, 4).result, R::Success) << n;
        }
        // Flipped stream bits never crash; a decode that still succeeds has the right size.
        for (size_t i = 58; i + 16 < file.size(); ++i) {
            for (uint8_t bit : {0x01, 0x10, 0x80}) {
                Bytes damaged = file;
                damaged[i] ^= bit;
                const Decoded d = decode(damaged, 3);
                if (d.result == R::Success) {
                    EXPECT_EQ(d.pixels.size(), 12u * 6 * 3);
                }
            }
        }
    }
}

}  // namespace
