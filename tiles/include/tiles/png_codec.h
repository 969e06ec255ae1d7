#pragma once
// PNG codec of the map tiles: 8-bit RGB or RGBA images written by a fast
// deflate encoder of its own, and read back by a decoder that accepts only
// the files this encoder writes (they carry the private chunk "fdEC").
//
// Threads: every operation is reentrant. init() writes the process-wide CPU
// flags once; call it before tiles are coded from several threads.

#include <cstddef>
#include <cstdint>
#include <vector>

enum class PngCodecDecodeResult : int {
    Success = 0,
    NotWrittenByThisEncoder = 1,
    InvalidArgument = 2,
    NotPng = 3,
    HeaderCrcFailed = 4,
    InvalidDimensions = 5,
    OutputTooLarge = 6,  // also: the image is larger than the file's stream could hold
    ChunkParsingFailed = 7,
    InvalidIdat = 8,
};

class PngCodec {
public:
    // Encoder flags.
    static constexpr uint32_t kTwoPass = 1;  // a Huffman code built for the image
    static constexpr uint32_t kStored = 2;   // uncompressed deflate blocks

    struct CpuFeatures {
        bool initialised = false;
        bool fpu = false;
        bool mmx = false;
        bool sse = false;
        bool sse2 = false;
        bool sse3 = false;
        bool ssse3 = false;
        bool sse41 = false;
        bool sse42 = false;
        bool pclmulqdq = false;
        bool avx = false;
        bool avx2 = false;
    };

    // Probes the processor once; later calls do nothing. Until it runs every
    // operation takes its portable path.
    static void init();
    static CpuFeatures cpuFeatures();
    // SSE to SSE4.1 present (Adler-32 and Up filter); CLMUL: that and PCLMULQDQ (CRC-32).
    static bool simdUsable();
    static bool clmulUsable();

    // pixels: rows top to bottom, width x channels bytes each (channels 3 or 4).
    // Refused (false) for empty or oversized images and other channel counts.
    static bool encodeImage(const uint8_t pixels[], uint32_t width, uint32_t height, uint32_t channels,
                            std::vector<uint8_t>& out, uint32_t flags);

    // desiredChannels 3 or 4: alpha is dropped or added as 255. out holds
    // width x height x desiredChannels bytes on Success and is empty otherwise;
    // width, height and channelsInFile are kept as far as they were read.
    static PngCodecDecodeResult decodeImage(const void* data, uint32_t size, std::vector<uint8_t>& out,
                                            uint32_t& width, uint32_t& height, uint32_t& channelsInFile,
                                            uint32_t desiredChannels);

    // The checksums as the codec computes them (zlib conventions: CRC-32 from 0, Adler-32 from 1).
    static uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size);
    static uint32_t adler32(uint32_t adler, const uint8_t* data, size_t size);

    // Test hook: false makes every operation take its portable path; true
    // gives back the paths that init() found.
    static void setAccelerationEnabled(bool enabled);
};
