// The PNG container of the tile codec: CPU probing, the fixed file layout on
// writing and the strict chunk walk on reading.
#include "tiles/png_codec.h"

#include "png_codec_internal.h"

#include <atomic>
#include <cstring>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define PNG_CODEC_X86 1
#endif

namespace {

// Feature bits in the order of PngCodec::CpuFeatures.
enum FeatureBit : uint32_t {
    kInitialised = 1u << 0,
    kFpu = 1u << 1,
    kMmx = 1u << 2,
    kSse = 1u << 3,
    kSse2 = 1u << 4,
    kSse3 = 1u << 5,
    kSsse3 = 1u << 6,
    kSse41 = 1u << 7,
    kSse42 = 1u << 8,
    kPclmul = 1u << 9,
    kAvx = 1u << 10,
    kAvx2 = 1u << 11,
};
constexpr uint32_t kSimdBits = kSse | kSse2 | kSse3 | kSsse3 | kSse41;

std::atomic<uint32_t> gFeatures{0};
std::atomic<bool> gAccelerationEnabled{true};
std::once_flag gInitOnce;

uint32_t probe() {
    uint32_t bits = kInitialised;
#ifdef PNG_CODEC_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return bits;
    const unsigned highest = eax;
    if (highest >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        if (edx & (1u << 0)) bits |= kFpu;
        if (edx & (1u << 23)) bits |= kMmx;
        if (edx & (1u << 25)) bits |= kSse;
        if (edx & (1u << 26)) bits |= kSse2;
        if (ecx & (1u << 0)) bits |= kSse3;
        if (ecx & (1u << 1)) bits |= kPclmul;
        if (ecx & (1u << 9)) bits |= kSsse3;
        if (ecx & (1u << 19)) bits |= kSse41;
        if (ecx & (1u << 20)) bits |= kSse42;
        if (ecx & (1u << 28)) bits |= kAvx;
    }
    if (highest >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        if (ebx & (1u << 5)) bits |= kAvx2;
    }
#endif
    return bits;
}

const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t kFdecChunk[17] = {0, 0, 0, 5, 'f', 'd', 'E', 'C', 0x52, 0x24, 0x93, 0xE3, 0x00,
                                0xE5, 0xAB, 0x62, 0x99};
const uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr size_t kStreamOffset = 58;
constexpr uint64_t kMaxDimension = 0x1000000;

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool isLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

namespace png_detail {

Paths activePaths() {
    Paths paths;
    if (!gAccelerationEnabled.load(std::memory_order_relaxed)) return paths;
    const uint32_t bits = gFeatures.load(std::memory_order_acquire);
    paths.simd = (bits & kSimdBits) == kSimdBits;
    paths.clmul = paths.simd && (bits & kPclmul);
    return paths;
}

}  // namespace png_detail

void PngCodec::init() {
    std::call_once(gInitOnce, [] { gFeatures.store(probe(), std::memory_order_release); });
}

PngCodec::CpuFeatures PngCodec::cpuFeatures() {
    const uint32_t bits = gFeatures.load(std::memory_order_acquire);
    CpuFeatures f;
    f.initialised = bits & kInitialised;
    f.fpu = bits & kFpu;
    f.mmx = bits & kMmx;
    f.sse = bits & kSse;
    f.sse2 = bits & kSse2;
    f.sse3 = bits & kSse3;
    f.ssse3 = bits & kSsse3;
    f.sse41 = bits & kSse41;
    f.sse42 = bits & kSse42;
    f.pclmulqdq = bits & kPclmul;
    f.avx = bits & kAvx;
    f.avx2 = bits & kAvx2;
    return f;
}

bool PngCodec::simdUsable() { return png_detail::activePaths().simd; }
bool PngCodec::clmulUsable() { return png_detail::activePaths().clmul; }

void PngCodec::setAccelerationEnabled(bool enabled) {
    gAccelerationEnabled.store(enabled, std::memory_order_relaxed);
}

uint32_t PngCodec::crc32(uint32_t crc, const uint8_t* data, size_t size) {
    return png_detail::crc32(crc, data, size, png_detail::activePaths().clmul);
}

uint32_t PngCodec::adler32(uint32_t adler, const uint8_t* data, size_t size) {
    return png_detail::adler32(adler, data, size, png_detail::activePaths().simd);
}

bool PngCodec::encodeImage(const uint8_t pixels[], uint32_t width, uint32_t height, uint32_t channels,
                           std::vector<uint8_t>& out, uint32_t flags) {
    if (pixels == nullptr || width == 0 || height == 0 || width > kMaxDimension ||
        height > kMaxDimension || uint64_t(width) * height > 0xFFFFFFFFull ||
        (channels != 3 && channels != 4)) {
        return false;
    }
    const png_detail::Paths paths = png_detail::activePaths();
    const uint64_t rowBytes = uint64_t(width) * channels;
    const uint64_t filteredSize = (rowBytes + 1) * height;
    const uint64_t storedSize =
        filteredSize + 5 * png_detail::storedBlockCount(filteredSize) + 64;
    // The file (stream, header and the 16 closing bytes) must stay in 32 bits
    // whatever form the stream takes.
    if (filteredSize > 0xFFFFFFFFull || storedSize + 16 > 0xFFFFFFFFull) return false;

    size_t streamSize = 0;
    bool compressed = false;
    if (!(flags & kStored)) {
        std::vector<uint8_t> filtered(filteredSize + 8);  // slack for 4-byte pixel loads
        const uint8_t* src = pixels;
        uint8_t* dst = filtered.data();
        dst[0] = 0;
        std::memcpy(dst + 1, src, rowBytes);
        for (uint32_t y = 1; y < height; ++y) {
            dst += rowBytes + 1;
            src += rowBytes;
            dst[0] = 2;
            png_detail::upFilter(dst + 1, src, src - rowBytes, rowBytes, paths.simd);
        }
        const size_t capacity = size_t((filteredSize + 65) & ~uint64_t(7));
        out.resize(capacity);
        size_t written = 0;
        if (png_detail::deflateHuffman(filtered.data(), width, height, channels, flags & kTwoPass,
                                       out.data() + kStreamOffset, capacity - kStreamOffset, written) &&
            kStreamOffset + written + 4 <= capacity) {
            const uint32_t adler = png_detail::adler32(1, filtered.data(), filteredSize, paths.simd);
            putBe32(out.data() + kStreamOffset + written, adler);
            streamSize = written + 4;
            compressed = true;
        }
    }
    if (!compressed) {
        out.resize(size_t(storedSize));
        if (!png_detail::deflateStored(pixels, width, height, channels, paths.simd,
                                       out.data() + kStreamOffset, out.size() - kStreamOffset,
                                       streamSize)) {
            out.clear();
            return false;
        }
    }
    out.resize(kStreamOffset + streamSize);

    uint8_t* h = out.data();
    std::memcpy(h, kSignature, 8);
    putBe32(h + 8, 13);
    std::memcpy(h + 12, "IHDR", 4);
    putBe32(h + 16, width);
    putBe32(h + 20, height);
    h[24] = 8;
    h[25] = channels == 3 ? 2 : 6;
    h[26] = h[27] = h[28] = 0;
    putBe32(h + 29, png_detail::crc32(0, h + 12, 17, paths.clmul));
    std::memcpy(h + 33, kFdecChunk, sizeof kFdecChunk);
    putBe32(h + 50, uint32_t(streamSize));
    std::memcpy(h + 54, "IDAT", 4);

    out.resize(out.size() + 16);
    uint8_t* tail = out.data() + kStreamOffset + streamSize;
    putBe32(tail, png_detail::crc32(0, out.data() + 54, streamSize + 4, paths.clmul));
    std::memcpy(tail + 4, kIend, sizeof kIend);
    return true;
}

PngCodecDecodeResult PngCodec::decodeImage(const void* data, uint32_t size, std::vector<uint8_t>& out,
                                           uint32_t& width, uint32_t& height, uint32_t& channelsInFile,
                                           uint32_t desiredChannels) {
    using R = PngCodecDecodeResult;
    out.clear();
    width = height = channelsInFile = 0;
    if (data == nullptr || size == 0 || (desiredChannels != 3 && desiredChannels != 4))
        return R::InvalidArgument;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size < kStreamOffset || std::memcmp(p, kSignature, 8) != 0 || be32(p + 8) != 13 ||
        std::memcmp(p + 12, "IHDR", 4) != 0) {
        return R::NotPng;
    }
    const png_detail::Paths paths = png_detail::activePaths();
    if (png_detail::crc32(0, p + 12, 17, paths.clmul) != be32(p + 29)) return R::HeaderCrcFailed;

    width = be32(p + 16);
    height = be32(p + 20);
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
        uint64_t(width) * height > 0x40000000ull) {
        return R::InvalidDimensions;
    }
    const uint8_t colourType = p[25];
    if (p[24] != 8 || p[26] != 0 || p[27] != 0 || p[28] != 0 || (colourType != 2 && colourType != 6))
        return R::NotWrittenByThisEncoder;
    channelsInFile = colourType == 2 ? 3 : 4;

    bool seenFdec = false;
    const uint8_t* idat = nullptr;
    uint32_t idatSize = 0;
    uint64_t offset = 33;
    for (;;) {
        if (size - offset < 12) return R::ChunkParsingFailed;
        const uint8_t* chunk = p + offset;
        const uint32_t length = be32(chunk);
        if (offset + 12 + uint64_t(length) > size) return R::ChunkParsingFailed;
        for (int i = 4; i < 8; ++i)
            if (!isLetter(chunk[i])) return R::ChunkParsingFailed;
        const bool isIdat = std::memcmp(chunk + 4, "IDAT", 4) == 0;
        if (!isIdat &&
            png_detail::crc32(0, chunk + 4, size_t(length) + 4, paths.clmul) != be32(chunk + 8 + length))
            return R::HeaderCrcFailed;
        if (isIdat) {
            if (!seenFdec || idat != nullptr) return R::NotWrittenByThisEncoder;
            if (length < 7) return R::InvalidIdat;
            idat = chunk + 8;
            idatSize = length;
        } else if (std::memcmp(chunk + 4, "fdEC", 4) == 0) {
            if (seenFdec || idat != nullptr || length != 5 || std::memcmp(chunk + 8, kFdecChunk + 8, 5) != 0)
                return R::NotWrittenByThisEncoder;
            seenFdec = true;
        } else if (std::memcmp(chunk + 4, "IEND", 4) == 0) {
            break;
        } else if (chunk[4] >= 'A' && chunk[4] <= 'Z') {
            return R::NotWrittenByThisEncoder;
        }
        offset += 12 + uint64_t(length);
    }

    if (!seenFdec || idat == nullptr) return R::NotWrittenByThisEncoder;
    const uint64_t outSize = uint64_t(width) * height * desiredChannels;
    if (outSize > 0xFFFFFFFFull) return R::OutputTooLarge;
    // A crafted header may claim far more pixels than its stream can encode;
    // never allocate for those.
    if (png_detail::minimumStreamSize(width, height, channelsInFile) > idatSize) return R::OutputTooLarge;

    out.resize(size_t(outSize));
    if (!png_detail::inflateImage(idat, idatSize, width, height, channelsInFile, desiredChannels, out.data(),
                                  paths.simd)) {
        out.clear();
        return R::NotWrittenByThisEncoder;
    }
    return R::Success;
}
