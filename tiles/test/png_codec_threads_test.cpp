// PNG tile codec from several threads at once, init() racing with the first
// encodes: every thread gets the bytes and pixels of a single-threaded run.
#include "tiles/png_codec.h"

#include "png_tile_images.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(PngCodecThreadsTest, ConcurrentEncodeAndDecodeMatchASingleThread) {
    const std::vector<uint8_t> pixels = pngtest::orthoTile(64, 48, 4, 21);
    std::vector<uint8_t> expected[3];
    for (uint32_t flags = 0; flags < 3; ++flags)
        ASSERT_TRUE(PngCodec::encodeImage(pixels.data(), 64, 48, 4, expected[flags], flags));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            if (t % 2 == 0) PngCodec::init();
            for (int round = 0; round < 6; ++round) {
                const uint32_t flags = uint32_t(round % 3);
                std::vector<uint8_t> file;
                if (!PngCodec::encodeImage(pixels.data(), 64, 48, 4, file, flags) || file != expected[flags])
                    ++mismatches;
                std::vector<uint8_t> decoded;
                uint32_t w = 0, h = 0, c = 0;
                if (PngCodec::decodeImage(file.data(), uint32_t(file.size()), decoded, w, h, c, 4) !=
                        PngCodecDecodeResult::Success ||
                    decoded != pixels)
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(PngCodec::cpuFeatures().initialised);
}

}  // namespace
