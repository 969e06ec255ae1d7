// libFuzzer target: the PNG tile decoder on arbitrary bytes, as they come and
// with every chunk CRC made right (so that mutations reach the stream
// decoder), with both channel counts and both code paths; a file that
// decodes must re-encode.
#include "tiles/png_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void decodeBoth(const uint8_t* data, size_t size) {
    for (uint32_t desired : {3u, 4u}) {
        PngCodec::setAccelerationEnabled(desired == 4);
        std::vector<uint8_t> pixels;
        uint32_t width = 0, height = 0, channels = 0;
        const PngCodecDecodeResult result =
            PngCodec::decodeImage(data, uint32_t(size), pixels, width, height, channels, desired);
        if (result != PngCodecDecodeResult::Success) {
            if (!pixels.empty()) std::abort();
            continue;
        }
        if (pixels.size() != size_t(width) * height * desired) std::abort();
        std::vector<uint8_t> again;
        if (!PngCodec::encodeImage(pixels.data(), width, height, desired, again, 0)) std::abort();
    }
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PngCodec::init();
    if (size > 0xFFFFFFFFu) return 0;
    decodeBoth(data, size);

    std::vector<uint8_t> fixed(data, data + size);
    for (uint64_t offset = 8; offset + 12 <= fixed.size();) {
        const uint32_t length = be32(&fixed[offset]);
        if (offset + 12 + uint64_t(length) > fixed.size()) break;
        const uint32_t crc = PngCodec::crc32(0, &fixed[offset + 4], size_t(length) + 4);
        uint8_t* p = &fixed[offset + 8 + length];
        p[0] = uint8_t(crc >> 24);
        p[1] = uint8_t(crc >> 16);
        p[2] = uint8_t(crc >> 8);
        p[3] = uint8_t(crc);
        offset += 12 + uint64_t(length);
    }
    decodeBoth(fixed.data(), fixed.size());
    return 0;
}
