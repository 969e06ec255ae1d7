// The deflate writers of the PNG tile codec: tokens that repeat the previous
// pixel, one dynamic-Huffman block (a fixed ready-made code, or one built for
// the image in two passes with 12-bit codes), and the stored fallback.
#include "png_codec_internal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace png_detail {
namespace {

constexpr int kLitLenSymbols = 286;
constexpr int kEndOfBlock = 256;
constexpr int kMaxCodeBits = 12;
constexpr int kMaxCodeLengthBits = 7;

void store64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, 8);
#else
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
#endif
}

// LSB-first bit writer; every flush stores 8 bytes, so 8 bytes of room are
// needed before it. At most 56 bits may wait between flushes.
struct BitWriter {
    uint8_t* p;
    uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;

    bool room() const { return end - p >= 8; }
    void put(uint64_t code, unsigned length) {
        bits |= code << count;
        count += length;
    }
    void flush() {
        store64(p, bits);
        const unsigned bytes = count >> 3;
        p += bytes;
        bits >>= bytes * 8;  // bytes <= 7
        count &= 7;
    }
    // Pads to a byte boundary; needs room().
    void finish() {
        flush();
        if (count > 0) {
            ++p;
            bits = 0;
            count = 0;
        }
    }
};

// Deflate length symbols: base length and extra bits of symbols 257 .. 285.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

struct LengthCode {
    uint16_t symbol = 0;
    uint8_t extraBits = 0;
    uint16_t extra = 0;
};

const std::array<LengthCode, 259>& lengthCodes() {
    static const std::array<LengthCode, 259> table = [] {
        std::array<LengthCode, 259> t{};
        for (int length = 3; length <= 258; ++length) {
            int i = 28;
            while (kLengthBase[i] > length) --i;
            if (length == 258) i = 28;
            t[length] = {uint16_t(257 + i), kLengthExtra[i], uint16_t(length - kLengthBase[i])};
        }
        return t;
    }();
    return table;
}

// Code lengths limited to `limit` bits by package-merge; symbols of zero
// frequency get length 0. At least two symbols must have a frequency.
void buildLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
    struct Node {
        uint64_t weight;
        int left;
        int right;
        int symbol;  // >= 0 for a leaf
    };
    std::vector<Node> nodes;
    std::vector<int> leaves;
    for (int s = 0; s < n; ++s) {
        lengths[s] = 0;
        if (freq[s] > 0) {
            nodes.push_back({freq[s], -1, -1, s});
            leaves.push_back(int(nodes.size()) - 1);
        }
    }
    const size_t count = leaves.size();
    if (count == 0) return;
    if (count == 1) {
        lengths[nodes[leaves[0]].symbol] = 1;
        return;
    }
    std::stable_sort(leaves.begin(), leaves.end(),
                     [&](int a, int b) { return nodes[a].weight < nodes[b].weight; });
    nodes.reserve(nodes.size() + count * size_t(limit) * 2);
    std::vector<int> list = leaves;
    std::vector<int> merged;
    for (int level = 1; level < limit; ++level) {
        merged.clear();
        size_t li = 0;
        size_t pi = 0;
        const size_t packages = list.size() / 2;
        while (li < leaves.size() || pi < packages) {
            bool takeLeaf = pi >= packages;
            uint64_t packageWeight = 0;
            if (pi < packages) {
                packageWeight = nodes[list[2 * pi]].weight + nodes[list[2 * pi + 1]].weight;
                if (li < leaves.size() && nodes[leaves[li]].weight <= packageWeight) takeLeaf = true;
            }
            if (takeLeaf) {
                merged.push_back(leaves[li++]);
            } else {
                nodes.push_back({packageWeight, list[2 * pi], list[2 * pi + 1], -1});
                merged.push_back(int(nodes.size()) - 1);
                ++pi;
            }
        }
        list.swap(merged);
    }
    std::vector<int> stack;
    for (size_t i = 0; i < 2 * count - 2; ++i) {
        stack.push_back(list[i]);
        while (!stack.empty()) {
            const Node& node = nodes[stack.back()];
            stack.pop_back();
            if (node.symbol >= 0) {
                ++lengths[node.symbol];
            } else {
                stack.push_back(node.left);
                stack.push_back(node.right);
            }
        }
    }
}

// Canonical codes, bit-reversed for LSB-first output.
void assignCodes(const uint8_t* lengths, int n, uint16_t* codes) {
    uint16_t counts[16] = {};
    for (int s = 0; s < n; ++s) ++counts[lengths[s]];
    counts[0] = 0;
    uint16_t next[16] = {};
    uint32_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + counts[bits - 1]) << 1;
        next[bits] = uint16_t(code);
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        codes[s] = 0;
        if (len == 0) continue;
        uint32_t c = next[len]++;
        uint32_t reversed = 0;
        for (int i = 0; i < len; ++i) reversed |= ((c >> i) & 1u) << (len - 1 - i);
        codes[s] = uint16_t(reversed);
    }
}

// Distance symbol of the one-pixel distance: 2 for 3 bytes, 3 for 4.
int distanceSymbol(uint32_t channels) { return channels == 3 ? 2 : 3; }

// A literal/length code ready for the emitter.
struct Code {
    uint16_t literalCode[256];
    uint8_t literalLength[256];
    uint32_t matchCode[259];  // length code, extra bits and the distance bit 0
    uint8_t matchLength[259];
    uint16_t endCode;
    uint8_t endLength;
};

void makeCode(const uint8_t* lengths, uint32_t channels, Code& code) {
    uint16_t codes[kLitLenSymbols];
    assignCodes(lengths, kLitLenSymbols, codes);
    for (int v = 0; v < 256; ++v) {
        code.literalCode[v] = codes[v];
        code.literalLength[v] = lengths[v];
    }
    const auto& lc = lengthCodes();
    for (int length = 0; length <= 258; ++length) {
        code.matchCode[length] = 0;
        code.matchLength[length] = 0;
        if (length < 3 || length % channels != 0) continue;
        const LengthCode& l = lc[length];
        const uint8_t bits = lengths[l.symbol];
        code.matchCode[length] = uint32_t(codes[l.symbol]) | uint32_t(l.extra) << bits;
        code.matchLength[length] = uint8_t(bits + l.extraBits + 1);  // + the distance bit 0
    }
    code.endCode = codes[kEndOfBlock];
    code.endLength = lengths[kEndOfBlock];
}

// Writes BFINAL, BTYPE 2 and the code lengths of the block; every length symbol
// and literal the tokens may use must have a length.
bool writeBlockHeader(BitWriter& w, const uint8_t* litLengths, uint32_t channels) {
    int hlit = kLitLenSymbols;
    while (hlit > 257 && litLengths[hlit - 1] == 0) --hlit;
    const int hdist = distanceSymbol(channels) + 1;
    std::vector<uint8_t> sequence(litLengths, litLengths + hlit);
    for (int d = 0; d < hdist; ++d) sequence.push_back(d == hdist - 1 ? 1 : 0);

    struct Rle {
        uint8_t symbol;
        uint8_t extra;
    };
    std::vector<Rle> rle;
    for (size_t i = 0; i < sequence.size();) {
        const uint8_t v = sequence[i];
        size_t run = 1;
        while (i + run < sequence.size() && sequence[i + run] == v) ++run;
        i += run;
        if (v == 0) {
            while (run >= 11) {
                const size_t n = std::min<size_t>(run, 138);
                rle.push_back({18, uint8_t(n - 11)});
                run -= n;
            }
            if (run >= 3) {
                rle.push_back({17, uint8_t(run - 3)});
                run = 0;
            }
        } else {
            rle.push_back({v, 0});
            --run;
            while (run >= 3) {
                const size_t n = std::min<size_t>(run, 6);
                rle.push_back({16, uint8_t(n - 3)});
                run -= n;
            }
        }
        while (run > 0) {
            rle.push_back({v, 0});
            --run;
        }
    }

    uint32_t clFreq[19] = {};
    for (const Rle& r : rle) ++clFreq[r.symbol];
    int used = 0;
    for (uint32_t f : clFreq) used += f > 0;
    if (used < 2) clFreq[clFreq[0] ? 1 : 0] = 1;  // a code of one symbol is not complete
    uint8_t clLengths[19];
    buildLengths(clFreq, 19, kMaxCodeLengthBits, clLengths);
    uint16_t clCodes[19];
    assignCodes(clLengths, 19, clCodes);

    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int hclen = 19;
    while (hclen > 4 && clLengths[kOrder[hclen - 1]] == 0) --hclen;

    if (!w.room()) return false;
    w.put(1, 1);  // final block
    w.put(2, 2);  // dynamic Huffman
    w.put(uint64_t(hlit - 257), 5);
    w.put(uint64_t(hdist - 1), 5);
    w.put(uint64_t(hclen - 4), 4);
    w.flush();
    for (int i = 0; i < hclen; ++i) {
        if (!w.room()) return false;
        w.put(clLengths[kOrder[i]], 3);
        w.flush();
    }
    static const uint8_t kExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
    for (const Rle& r : rle) {
        if (!w.room()) return false;
        w.put(clCodes[r.symbol], clLengths[r.symbol]);
        w.put(r.extra, kExtraBits[r.symbol]);
        w.flush();
    }
    return true;
}

uint32_t loadPixel3(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);  // the filtered buffer has slack behind its end
    return v & 0x00FFFFFFu;
}
uint32_t loadPixel4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Walks the tokens of the filtered scanlines: per row the filter byte and the
// first pixel as literals, then for each pixel either its literals or a match
// of the one-pixel distance over the run of pixels equal to the previous one.
template <uint32_t C, class Sink>
bool walkTokens(const uint8_t* filtered, uint32_t width, uint32_t height, Sink& sink) {
    const size_t rowBytes = size_t(width) * C + 1;
    constexpr uint32_t maxRun = C == 3 ? 85 : 63;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = filtered + rowBytes * y;
        if (!sink.rowStart(row)) return false;
        const uint8_t* px = row + 1;
        uint32_t previous = C == 3 ? loadPixel3(px) : loadPixel4(px);
        px += C;
        uint32_t x = 1;
        while (x < width) {
            const uint32_t current = C == 3 ? loadPixel3(px) : loadPixel4(px);
            if (current == previous) {
                uint32_t run = 1;
                const uint32_t limit = std::min(maxRun, width - x);
                while (run < limit && (C == 3 ? loadPixel3(px + run * C) : loadPixel4(px + run * C)) == previous)
                    ++run;
                if (!sink.match(run * C)) return false;
                x += run;
                px += size_t(run) * C;
            } else {
                if (!sink.literals(px)) return false;
                previous = current;
                ++x;
                px += C;
            }
        }
    }
    return true;
}

template <uint32_t C>
struct Counter {
    uint32_t freq[kLitLenSymbols] = {};
    bool rowStart(const uint8_t* row) {
        for (uint32_t i = 0; i <= C; ++i) ++freq[row[i]];
        return true;
    }
    bool literals(const uint8_t* px) {
        for (uint32_t i = 0; i < C; ++i) ++freq[px[i]];
        return true;
    }
    bool match(uint32_t length) {
        ++freq[lengthCodes()[length].symbol];
        return true;
    }
};

template <uint32_t C>
struct Emitter {
    const Code& code;
    BitWriter& w;
    bool rowStart(const uint8_t* row) {
        if (!w.room()) return false;
        w.put(code.literalCode[row[0]], code.literalLength[row[0]]);
        w.flush();
        return literals(row + 1);
    }
    bool literals(const uint8_t* px) {
        if (!w.room()) return false;
        for (uint32_t i = 0; i < C; ++i) w.put(code.literalCode[px[i]], code.literalLength[px[i]]);
        w.flush();
        return true;
    }
    bool match(uint32_t length) {
        if (!w.room()) return false;
        w.put(code.matchCode[length], code.matchLength[length]);
        w.flush();
        return true;
    }
};

// The ready-made code of the single-pass encoder: lengths from a model of
// Up-filtered aerial imagery (residuals near 0, short runs more common than
// long ones), the zlib header and block header written once as a prefix.
struct FixedCode {
    Code code;
    std::vector<uint8_t> prefix;  // whole bytes
    uint64_t bits = 0;            // then these bits
    unsigned bitCount = 0;
};

FixedCode makeFixedCode(uint32_t channels) {
    uint32_t freq[kLitLenSymbols] = {};
    for (int v = 0; v < 256; ++v) {
        const int s = int(int8_t(uint8_t(v)));
        freq[v] = 1 + uint32_t(std::lround(4000.0 * std::exp(-std::abs(s) / 6.0)));
    }
    if (channels == 4) freq[0] += 3000;  // the alpha plane of a tile is mostly constant
    freq[2] += 20;                       // the filter byte of every row
    freq[kEndOfBlock] = 1;
    const uint32_t maxRun = maxRunPixels(channels);
    for (uint32_t run = 1; run <= maxRun; ++run) {
        const uint16_t symbol = lengthCodes()[run * channels].symbol;
        freq[symbol] += 1 + uint32_t(400.0 / std::pow(double(run), 1.5));
    }
    freq[lengthCodes()[maxRun * channels].symbol] += 200;  // long uniform areas

    uint8_t lengths[kLitLenSymbols];
    buildLengths(freq, kLitLenSymbols, kMaxCodeBits, lengths);
    FixedCode fixed;
    makeCode(lengths, channels, fixed.code);

    uint8_t buffer[1024];
    BitWriter w{buffer, buffer + sizeof buffer};
    w.put(0x78, 8);
    w.put(0x01, 8);
    w.flush();
    writeBlockHeader(w, lengths, channels);
    fixed.prefix.assign(buffer, w.p);
    fixed.bits = w.bits;
    fixed.bitCount = w.count;
    return fixed;
}

const FixedCode& fixedCode(uint32_t channels) {
    static const FixedCode rgb = makeFixedCode(3);
    static const FixedCode rgba = makeFixedCode(4);
    return channels == 3 ? rgb : rgba;
}

template <uint32_t C>
bool deflateHuffmanC(const uint8_t* filtered, uint32_t width, uint32_t height, bool twoPass, uint8_t* out,
                     size_t capacity, size_t& written) {
    BitWriter w{out, out + capacity};
    Code built;
    const Code* code = nullptr;
    if (twoPass) {
        Counter<C> counter;
        walkTokens<C>(filtered, width, height, counter);
        counter.freq[kEndOfBlock] = 1;
        // Scale to 16 bits, every used symbol keeping at least 1.
        uint64_t total = 0;
        for (uint32_t f : counter.freq) total += f;
        uint32_t scaled[kLitLenSymbols];
        uint64_t sum = 0;
        int largest = 0;
        for (int s = 0; s < kLitLenSymbols; ++s) {
            const uint32_t f = counter.freq[s];
            scaled[s] = f == 0 ? 0 : std::max<uint32_t>(1, uint32_t(uint64_t(f) * 65535 / total));
            sum += scaled[s];
            if (scaled[s] > scaled[largest]) largest = s;
        }
        if (sum >= 0x10000) scaled[largest] -= uint32_t(sum - 0xFFFF);  // the largest is far above the excess
        uint8_t lengths[kLitLenSymbols];
        buildLengths(scaled, kLitLenSymbols, kMaxCodeBits, lengths);
        makeCode(lengths, C, built);
        code = &built;
        if (!w.room()) return false;
        w.put(0x78, 8);
        w.put(0x01, 8);
        w.flush();
        if (!writeBlockHeader(w, lengths, C)) return false;
    } else {
        const FixedCode& fixed = fixedCode(C);
        if (capacity < fixed.prefix.size() + 8) return false;
        std::memcpy(out, fixed.prefix.data(), fixed.prefix.size());
        w.p = out + fixed.prefix.size();
        w.bits = fixed.bits;
        w.count = fixed.bitCount;
        code = &fixed.code;
    }
    Emitter<C> emitter{*code, w};
    if (!walkTokens<C>(filtered, width, height, emitter)) return false;
    if (!w.room()) return false;
    w.put(code->endCode, code->endLength);
    w.finish();
    written = size_t(w.p - out);
    return true;
}

}  // namespace

bool deflateHuffman(const uint8_t* filtered, uint32_t width, uint32_t height, uint32_t channels, bool twoPass,
                    uint8_t* out, size_t capacity, size_t& written) {
    if (channels == 3) return deflateHuffmanC<3>(filtered, width, height, twoPass, out, capacity, written);
    return deflateHuffmanC<4>(filtered, width, height, twoPass, out, capacity, written);
}

bool deflateStored(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t channels, bool simd,
                   uint8_t* out, size_t capacity, size_t& written) {
    const size_t rowBytes = size_t(width) * channels;
    const uint64_t total = uint64_t(rowBytes + 1) * height;
    const uint64_t blocks = storedBlockCount(total);
    if (capacity < total + 5 * blocks + 6) return false;
    uint8_t* p = out;
    *p++ = 0x78;
    *p++ = 0x01;
    uint32_t adler = 1;
    // Position in the virtual scanlines: row y, byte `column` (0 is the filter byte).
    uint32_t y = 0;
    size_t column = 0;
    uint64_t left = total;
    do {
        const uint32_t length = uint32_t(std::min<uint64_t>(left, 65535));
        left -= length;
        *p++ = left == 0 ? 1 : 0;
        p[0] = uint8_t(length);
        p[1] = uint8_t(length >> 8);
        p[2] = uint8_t(~length);
        p[3] = uint8_t(~length >> 8);
        p += 4;
        uint8_t* blockData = p;
        size_t need = length;
        while (need > 0) {
            if (column == 0) {
                *p++ = 0;
                column = 1;
                --need;
                continue;
            }
            const size_t n = std::min(need, rowBytes - (column - 1));
            std::memcpy(p, pixels + rowBytes * y + (column - 1), n);
            p += n;
            need -= n;
            column += n;
            if (column == rowBytes + 1) {
                column = 0;
                ++y;
            }
        }
        adler = adler32(adler, blockData, length, simd);
    } while (left > 0);
    p[0] = uint8_t(adler >> 24);
    p[1] = uint8_t(adler >> 16);
    p[2] = uint8_t(adler >> 8);
    p[3] = uint8_t(adler);
    p += 4;
    written = size_t(p - out);
    return true;
}

}  // namespace png_detail
