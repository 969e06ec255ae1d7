// The strict inflater of the PNG tile codec: accepts only the stream shapes
// that its own deflate writers produce (stored rows behind filter byte 0, or
// one dynamic block of 12-bit codes whose tokens are pixels or runs of the
// previous pixel) and rejects everything else.
#include "png_codec_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace png_detail {
namespace {

constexpr int kTableBits = 12;
constexpr int kEndOfBlock = 256;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

uint64_t load64(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
#else
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
#endif
}

// LSB-first reader; after refill() at least 56 bits are buffered. Past the
// end it feeds zero bytes and counts them.
struct BitReader {
    const uint8_t* begin;
    const uint8_t* p;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;
    size_t overrun = 0;

    BitReader(const uint8_t* data, size_t size) : begin(data), p(data), end(data + size) {}

    void refill() {
        if (end - p >= 8) {
            bits |= load64(p) << count;
            p += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56) {
                uint64_t b = 0;
                if (p < end) {
                    b = *p++;
                } else {
                    ++overrun;
                }
                bits |= b << count;
                count += 8;
            }
        }
    }
    uint32_t peek(unsigned n) const { return uint32_t(bits & ((uint64_t(1) << n) - 1)); }
    void consume(unsigned n) {
        bits >>= n;
        count -= n;
    }
    uint32_t take(unsigned n) {
        const uint32_t v = peek(n);
        consume(n);
        return v;
    }
    uint64_t consumedBits() const { return (uint64_t(p - begin) + overrun) * 8 - count; }
    // True once more bits were taken than the stream holds.
    bool exhausted() const { return consumedBits() > uint64_t(end - begin) * 8; }
};

// Single-lookup decoding table: entry = symbol << 4 | length, 0 for no code.
struct Table {
    std::vector<uint16_t> entries;
    unsigned bits = 0;
};

// False for lengths above `bits` or an oversubscribed code; an incomplete code
// leaves empty entries, which decode as errors.
bool buildTable(const uint8_t* lengths, int n, unsigned bits, Table& table) {
    table.bits = bits;
    table.entries.assign(size_t(1) << bits, 0);
    uint32_t counts[16] = {};
    for (int s = 0; s < n; ++s) {
        if (lengths[s] > bits) return false;
        ++counts[lengths[s]];
    }
    counts[0] = 0;
    uint64_t kraft = 0;
    for (unsigned l = 1; l <= bits; ++l) kraft += uint64_t(counts[l]) << (bits - l);
    if (kraft > (uint64_t(1) << bits)) return false;
    uint32_t next[16] = {};
    uint32_t code = 0;
    for (unsigned l = 1; l < 16; ++l) {
        code = (code + counts[l - 1]) << 1;
        next[l] = code;
    }
    for (int s = 0; s < n; ++s) {
        const unsigned len = lengths[s];
        if (len == 0) continue;
        const uint32_t c = next[len]++;
        uint32_t reversed = 0;
        for (unsigned i = 0; i < len; ++i) reversed |= ((c >> i) & 1u) << (len - 1 - i);
        const uint16_t entry = uint16_t(s << 4 | len);
        for (uint32_t fill = reversed; fill < (1u << bits); fill += 1u << len) table.entries[fill] = entry;
    }
    return true;
}

// Decodes one symbol; -1 for an empty entry. Needs table.bits buffered bits.
inline int decode(BitReader& r, const Table& table) {
    const uint16_t entry = table.entries[r.peek(table.bits)];
    if (entry == 0) return -1;
    r.consume(entry & 15);
    return entry >> 4;
}

// Writes one decoded row of file pixels (filtered) into the output row,
// undoing Up against the row above unless it is the first.
struct RowWriter {
    uint32_t width;
    uint32_t channels;
    uint32_t desired;
    bool simd;

    void write(uint8_t* out, const uint8_t* filtered, const uint8_t* above) const {
        const size_t n = size_t(width) * channels;
        if (channels == desired) {
            if (above)
                upUndo(out, filtered, above, n, simd);
            else
                std::memcpy(out, filtered, n);
        } else if (channels == 3) {
            for (uint32_t x = 0; x < width; ++x) {
                for (int k = 0; k < 3; ++k)
                    out[4 * x + k] = uint8_t(filtered[3 * x + k] + (above ? above[4 * x + k] : 0));
                out[4 * x + 3] = 255;
            }
        } else {
            for (uint32_t x = 0; x < width; ++x)
                for (int k = 0; k < 3; ++k)
                    out[3 * x + k] = uint8_t(filtered[4 * x + k] + (above ? above[3 * x + k] : 0));
        }
    }
};

bool inflateStored(const uint8_t* s, size_t size, uint32_t width, uint32_t height, uint32_t channels,
                   uint32_t desired, uint8_t* out, bool simd) {
    const size_t rowBytes = size_t(width) * channels;
    const size_t outRow = size_t(width) * desired;
    const RowWriter writer{width, channels, desired, simd};
    std::vector<uint8_t> scratch(channels == desired ? 0 : rowBytes);
    const size_t dataEnd = size - 4;  // the Adler-32 follows the last block
    size_t pos = 2;
    uint32_t y = 0;
    size_t column = 0;  // 0: the filter byte is next
    for (;;) {
        if (pos > dataEnd || dataEnd - pos < 5) return false;
        const uint8_t header = s[pos];
        if (header > 1) return false;
        const uint32_t length = uint32_t(s[pos + 1]) | uint32_t(s[pos + 2]) << 8;
        const uint32_t nlength = uint32_t(s[pos + 3]) | uint32_t(s[pos + 4]) << 8;
        if ((length ^ nlength) != 0xFFFF) return false;
        pos += 5;
        if (dataEnd - pos < length) return false;
        const uint8_t* data = s + pos;
        size_t left = length;
        while (left > 0) {
            if (y == height) return false;
            if (column == 0) {
                if (*data != 0) return false;
                ++data;
                --left;
                column = 1;
                continue;
            }
            const size_t n = std::min(left, rowBytes - (column - 1));
            uint8_t* dst = channels == desired ? out + outRow * y + (column - 1) : scratch.data() + (column - 1);
            std::memcpy(dst, data, n);
            data += n;
            left -= n;
            column += n;
            if (column == rowBytes + 1) {
                if (channels != desired) writer.write(out + outRow * y, scratch.data(), nullptr);
                column = 0;
                ++y;
            }
        }
        pos += length;
        if (header == 1) break;
    }
    return pos == dataEnd && y == height && column == 0;
}

bool inflateDynamic(const uint8_t* s, size_t size, uint32_t width, uint32_t height, uint32_t channels,
                    uint32_t desired, uint8_t* out, bool simd) {
    BitReader r(s + 2, size - 2);
    r.refill();
    if (r.take(3) != 5) return false;  // final block, dynamic Huffman
    const int hlit = int(r.take(5)) + 257;
    const int hdist = int(r.take(5)) + 1;
    const int hclen = int(r.take(4)) + 4;
    if (hlit > 286 || hdist > 30) return false;

    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint8_t clLengths[19] = {};
    for (int i = 0; i < hclen; ++i) {
        r.refill();
        clLengths[kOrder[i]] = uint8_t(r.take(3));
    }
    Table clTable;
    if (!buildTable(clLengths, 19, 7, clTable)) return false;

    uint8_t lengths[286 + 30] = {};
    const int total = hlit + hdist;
    for (int i = 0; i < total;) {
        r.refill();
        const int sym = decode(r, clTable);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[i++] = uint8_t(sym);
            continue;
        }
        int repeat = 0;
        uint8_t value = 0;
        if (sym == 16) {
            if (i == 0) return false;
            value = lengths[i - 1];
            repeat = 3 + int(r.take(2));
        } else if (sym == 17) {
            repeat = 3 + int(r.take(3));
        } else {
            repeat = 11 + int(r.take(7));
        }
        if (i + repeat > total) return false;
        std::fill(lengths + i, lengths + i + repeat, value);
        i += repeat;
    }
    if (r.exhausted()) return false;
    if (lengths[kEndOfBlock] == 0) return false;
    Table litTable;
    Table distTable;
    if (!buildTable(lengths, hlit, kTableBits, litTable) ||
        !buildTable(lengths + hlit, hdist, kTableBits, distTable)) {
        return false;
    }
    const int distanceSymbol = channels == 3 ? 2 : 3;  // one pixel back, no extra bits
    const uint32_t maxRun = maxRunPixels(channels);

    const size_t rowBytes = size_t(width) * channels;
    const size_t outRow = size_t(width) * desired;
    const RowWriter writer{width, channels, desired, simd};
    std::vector<uint8_t> row(rowBytes + 8);
    for (uint32_t y = 0; y < height; ++y) {
        r.refill();
        if (decode(r, litTable) != (y == 0 ? 0 : 2)) return false;
        uint8_t* px = row.data();
        uint32_t previous = 0;
        for (uint32_t x = 0; x < width;) {
            r.refill();
            const uint16_t entry = litTable.entries[r.peek(kTableBits)];
            if (entry == 0) return false;
            r.consume(entry & 15);
            const int sym = entry >> 4;
            if (sym < 256) {
                uint32_t value = uint32_t(sym);
                for (uint32_t k = 1; k < channels; ++k) {
                    const int b = decode(r, litTable);
                    if (b < 0 || b > 255) return false;
                    value |= uint32_t(b) << (8 * k);
                }
                std::memcpy(px, &value, 4);
                previous = value;
                px += channels;
                ++x;
                continue;
            }
            if (sym == kEndOfBlock || x == 0) return false;
            const int index = sym - 257;
            const uint32_t length = kLengthBase[index] + r.take(kLengthExtra[index]);
            const uint32_t run = length / channels;
            if (length % channels != 0 || run > maxRun || run > width - x) return false;
            if (decode(r, distTable) != distanceSymbol) return false;
            for (uint32_t i = 0; i < run; ++i) {
                std::memcpy(px, &previous, 4);
                px += channels;
            }
            x += run;
        }
        if (r.exhausted()) return false;
        uint8_t* o = out + outRow * y;
        writer.write(o, row.data(), y == 0 ? nullptr : o - outRow);
    }
    r.refill();
    if (decode(r, litTable) != kEndOfBlock) return false;
    const uint64_t used = (r.consumedBits() + 7) / 8;
    return used + 4 == size - 2;
}

}  // namespace

uint64_t minimumStreamSize(uint32_t width, uint32_t height, uint32_t channels) {
    const uint64_t filtered = (uint64_t(width) * channels + 1) * height;
    const uint64_t stored = filtered + 5 * storedBlockCount(filtered) + 6;
    // At least one bit per symbol: block header, per row the filter byte, the
    // first pixel and a match (length and distance) per longest run, then the
    // end of block.
    const uint64_t runs = (uint64_t(width) - 1 + maxRunPixels(channels) - 1) / maxRunPixels(channels);
    const uint64_t bits = 3 + 14 + 12 + uint64_t(height) * (1 + channels + 2 * runs) + 1;
    const uint64_t dynamic = 2 + (bits + 7) / 8 + 4;
    return std::min(stored, dynamic);
}

bool inflateImage(const uint8_t* stream, size_t size, uint32_t width, uint32_t height, uint32_t channels,
                  uint32_t desiredChannels, uint8_t* out, bool simd) {
    if (size < 7 || stream[0] != 0x78 || stream[1] != 0x01) return false;
    if ((stream[2] & 6) == 0) return inflateStored(stream, size, width, height, channels, desiredChannels, out, simd);
    return inflateDynamic(stream, size, width, height, channels, desiredChannels, out, simd);
}

}  // namespace png_detail
