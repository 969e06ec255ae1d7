// The Up filter of the PNG tile codec and its inverse, portable and 16 bytes a step.
#include "png_codec_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PNG_CODEC_X86 1
#endif

namespace png_detail {
namespace {

#ifdef PNG_CODEC_X86
__attribute__((target("sse2"))) size_t upFilterSimd(uint8_t* dst, const uint8_t* row,
                                                    const uint8_t* above, size_t size) {
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_sub_epi8(a, b));
    }
    return i;
}

__attribute__((target("sse2"))) size_t upUndoSimd(uint8_t* dst, const uint8_t* filtered,
                                                  const uint8_t* above, size_t size) {
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(filtered + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_add_epi8(a, b));
    }
    return i;
}
#endif

}  // namespace

void upFilter(uint8_t* dst, const uint8_t* row, const uint8_t* above, size_t size, bool simd) {
    size_t i = 0;
#ifdef PNG_CODEC_X86
    if (simd) i = upFilterSimd(dst, row, above, size);
#else
    (void)simd;
#endif
    for (; i < size; ++i) dst[i] = uint8_t(row[i] - above[i]);
}

void upUndo(uint8_t* dst, const uint8_t* filtered, const uint8_t* above, size_t size, bool simd) {
    size_t i = 0;
#ifdef PNG_CODEC_X86
    if (simd) i = upUndoSimd(dst, filtered, above, size);
#else
    (void)simd;
#endif
    for (; i < size; ++i) dst[i] = uint8_t(filtered[i] + above[i]);
}

}  // namespace png_detail
