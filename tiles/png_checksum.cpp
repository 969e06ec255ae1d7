// CRC-32 and Adler-32 of the PNG tile codec: portable loops and x86 paths
// (carry-less multiply folding, 16-byte Adler-32) that give the same values.
#include "png_codec_internal.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PNG_CODEC_X86 1
#endif

namespace png_detail {
namespace {

// Four 256-entry tables of the reflected polynomial EDB88320, 4 bytes a step.
struct CrcTables {
    uint32_t t[4][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables.t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 4; ++k)
            tables.t[k][i] = (tables.t[k - 1][i] >> 8) ^ tables.t[0][tables.t[k - 1][i] & 0xFF];
    return tables;
}

constexpr CrcTables kCrc = makeCrcTables();

// The running register (not inverted) over size bytes.
uint32_t crcTable(uint32_t c, const uint8_t* p, size_t size) {
    while (size >= 4) {
        uint32_t word = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                        uint32_t(p[3]) << 24;
        c ^= word;
        c = kCrc.t[3][c & 0xFF] ^ kCrc.t[2][(c >> 8) & 0xFF] ^ kCrc.t[1][(c >> 16) & 0xFF] ^
            kCrc.t[0][c >> 24];
        p += 4;
        size -= 4;
    }
    while (size--) c = kCrc.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

constexpr uint32_t kAdlerMod = 65521;
constexpr size_t kAdlerBlock = 5552;  // largest run whose sums stay in 32 bits

uint32_t adlerScalar(uint32_t adler, const uint8_t* p, size_t size) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t n = size < kAdlerBlock ? size : kAdlerBlock;
        size -= n;
        while (n--) {
            a += *p++;
            b += a;
        }
        a %= kAdlerMod;
        b %= kAdlerMod;
    }
    return b << 16 | a;
}

#ifdef PNG_CODEC_X86

// x times k (its two 64-bit halves by the two constants), plus next.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i t = _mm_clmulepi64_si128(x, k, 0x00);
    x = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(x, t), next);
}

// Folds 64 bytes at a time with x^(512+-32) and x^(512+32) mod P, then 16 at a
// time, then reduces 128 bits to the 32-bit remainder (Barrett). size >= 64,
// a multiple of 16. Returns the running register.
__attribute__((target("pclmul,sse4.1"))) uint32_t crcFold(uint32_t c, const uint8_t* p, size_t size) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x0 = _mm_xor_si128(x0, _mm_cvtsi32_si128(int(c)));
    p += 64;
    size -= 64;

    while (size >= 64) {
        __m128i t0 = _mm_clmulepi64_si128(x0, k1k2, 0x00);
        __m128i t1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i t2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i t3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        x0 = _mm_clmulepi64_si128(x0, k1k2, 0x11);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x0 = _mm_xor_si128(_mm_xor_si128(x0, t0), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x1 = _mm_xor_si128(_mm_xor_si128(x1, t1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, t2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, t3), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        size -= 64;
    }

    x0 = fold(x0, k3k4, x1);
    x0 = fold(x0, k3k4, x2);
    x0 = fold(x0, k3k4, x3);
    while (size >= 16) {
        x0 = fold(x0, k3k4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        size -= 16;
    }

    // 128 -> 64 bits.
    __m128i t = _mm_clmulepi64_si128(x0, k3k4, 0x10);
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), t);
    // 64 -> 32 bits.
    t = _mm_srli_si128(x0, 4);
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), k5, 0x00);
    x0 = _mm_xor_si128(x0, t);
    // Barrett reduction.
    t = x0;
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), poly, 0x10);
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), poly, 0x00);
    x0 = _mm_xor_si128(x0, t);
    return uint32_t(_mm_extract_epi32(x0, 1));
}

__attribute__((target("sse2"))) inline uint64_t sum4(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return uint64_t(uint32_t(_mm_cvtsi128_si32(v)));
}

// 16 bytes a step: the byte sums by SAD, the weighted sums (16 .. 1) by
// multiply-add; s2 gains 16 x the sum of all earlier steps' byte sums.
__attribute__((target("ssse3,sse4.1"))) uint32_t adlerSimd(uint32_t adler, const uint8_t* p, size_t size) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i weights = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    while (size >= 16) {
        size_t n = size < kAdlerBlock ? size & ~size_t(15) : kAdlerBlock;
        size -= n;
        __m128i vs1 = zero;      // byte sums, in the two 64-bit lanes
        __m128i vprev = zero;    // running sum of vs1 before each step
        __m128i vs2 = zero;      // weighted sums, four 32-bit lanes
        for (size_t i = 0; i < n; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            vprev = _mm_add_epi32(vprev, vs1);
            vs1 = _mm_add_epi32(vs1, _mm_sad_epu8(v, zero));
            vs2 = _mm_add_epi32(vs2, _mm_madd_epi16(_mm_maddubs_epi16(v, weights), ones));
        }
        p += n;
        uint64_t s1 = sum4(vs1);
        uint64_t prev = sum4(vprev);
        uint64_t s2 = sum4(vs2);
        uint64_t bb = uint64_t(b) + uint64_t(n) * a + 16 * prev + s2;
        a = uint32_t((a + s1) % kAdlerMod);
        b = uint32_t(bb % kAdlerMod);
    }
    return adlerScalar(b << 16 | a, p, size);
}

#endif  // PNG_CODEC_X86

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size, bool clmul) {
    uint32_t c = ~crc;
#ifdef PNG_CODEC_X86
    if (clmul && size >= 64) {
        size_t folded = size & ~size_t(15);
        c = crcFold(c, data, folded);
        data += folded;
        size -= folded;
    }
#else
    (void)clmul;
#endif
    return ~crcTable(c, data, size);
}

uint32_t adler32(uint32_t adler, const uint8_t* data, size_t size, bool simd) {
#ifdef PNG_CODEC_X86
    if (simd) return adlerSimd(adler, data, size);
#else
    (void)simd;
#endif
    return adlerScalar(adler, data, size);
}

}  // namespace png_detail
