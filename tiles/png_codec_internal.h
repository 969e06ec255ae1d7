#pragma once
// Internal pieces of the PNG tile codec: checksums, row filters, the deflate
// writers and the strict inflater. Not part of the library's contract.

#include <cstddef>
#include <cstdint>

namespace png_detail {

// Which accelerated paths the current call may take.
struct Paths {
    bool simd = false;   // SSE to SSE4.1: Adler-32 and the Up filter
    bool clmul = false;  // carry-less multiply: CRC-32 folding
};
Paths activePaths();

// zlib conventions: a CRC starts at 0, an Adler-32 at 1.
uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size, bool clmul);
uint32_t adler32(uint32_t adler, const uint8_t* data, size_t size, bool simd);

// dst = row - above (Up filter) and dst = filtered + above (its inverse), byte-wise modulo 256.
void upFilter(uint8_t* dst, const uint8_t* row, const uint8_t* above, size_t size, bool simd);
void upUndo(uint8_t* dst, const uint8_t* filtered, const uint8_t* above, size_t size, bool simd);

// Longest run of equal pixels that one match may cover.
inline uint32_t maxRunPixels(uint32_t channels) { return channels == 3 ? 85u : 63u; }

// Writes the zlib header and one final dynamic-Huffman block for the filtered
// scanlines ((width * channels + 1) * height bytes), flushed to a byte boundary,
// without the Adler-32. False when the stream would not fit in capacity bytes.
bool deflateHuffman(const uint8_t* filtered, uint32_t width, uint32_t height, uint32_t channels,
                    bool twoPass, uint8_t* out, size_t capacity, size_t& written);

// Writes the whole zlib stream of stored blocks for the pixels, every row
// behind filter byte 0, Adler-32 included. False when it would not fit.
bool deflateStored(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t channels,
                   bool simd, uint8_t* out, size_t capacity, size_t& written);

// Number of stored blocks for size bytes of scanlines.
inline uint64_t storedBlockCount(uint64_t size) { return size == 0 ? 1 : (size + 65534) / 65535; }

// Decodes a zlib stream written by the writers above into width x height
// pixels of desiredChannels each. False for any stream of another shape.
bool inflateImage(const uint8_t* stream, size_t size, uint32_t width, uint32_t height,
                  uint32_t channels, uint32_t desiredChannels, uint8_t* out, bool simd);

// Fewest stream bytes that can hold an image of this size in either form.
uint64_t minimumStreamSize(uint32_t width, uint32_t height, uint32_t channels);

}  // namespace png_detail
