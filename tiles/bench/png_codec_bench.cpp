// PngCodec encode and decode of 256 x 256 RGBA orthophoto-like tiles, beside
// OpenCV's PNG (libpng) at its default settings, in one run. Counters: the
// mean file size ("file_bytes") and its share of the raw pixels ("ratio").
#include "tiles/png_codec.h"

#include "../test/png_tile_images.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace {

constexpr uint32_t kSize = 256;
constexpr uint32_t kChannels = 4;
constexpr int kTiles = 8;

const std::vector<std::vector<uint8_t>>& tiles() {
    static const std::vector<std::vector<uint8_t>> all = [] {
        std::vector<std::vector<uint8_t>> t;
        for (int i = 0; i < kTiles; ++i) t.push_back(pngtest::orthoTile(kSize, kSize, kChannels, 100 + i * 7));
        return t;
    }();
    return all;
}

cv::Mat asMat(const std::vector<uint8_t>& pixels) {
    return cv::Mat(int(kSize), int(kSize), CV_8UC4, const_cast<uint8_t*>(pixels.data()));
}

void report(benchmark::State& state, double bytes) {
    state.counters["file_bytes"] = bytes / kTiles;
    state.counters["ratio"] = bytes / kTiles / (kSize * kSize * kChannels);
    state.SetItemsProcessed(int64_t(state.iterations()) * kTiles);
    state.SetBytesProcessed(int64_t(state.iterations()) * kTiles * kSize * kSize * kChannels);
}

void BM_PngCodecEncode(benchmark::State& state) {
    PngCodec::init();
    const uint32_t flags = uint32_t(state.range(0));
    std::vector<uint8_t> out;
    double bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& tile : tiles()) {
            PngCodec::encodeImage(tile.data(), kSize, kSize, kChannels, out, flags);
            bytes += double(out.size());
            benchmark::DoNotOptimize(out.data());
        }
    }
    report(state, bytes);
}
BENCHMARK(BM_PngCodecEncode)->ArgName("flags")->Arg(0)->Arg(1)->Arg(2);

void BM_OpenCvEncode(benchmark::State& state) {
    std::vector<uint8_t> out;
    double bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& tile : tiles()) {
            cv::imencode(".png", asMat(tile), out);
            bytes += double(out.size());
            benchmark::DoNotOptimize(out.data());
        }
    }
    report(state, bytes);
}
BENCHMARK(BM_OpenCvEncode);

void BM_PngCodecDecode(benchmark::State& state) {
    PngCodec::init();
    const uint32_t flags = uint32_t(state.range(0));
    std::vector<std::vector<uint8_t>> files(kTiles);
    double bytes = 0;
    for (int i = 0; i < kTiles; ++i) {
        PngCodec::encodeImage(tiles()[i].data(), kSize, kSize, kChannels, files[i], flags);
        bytes += double(files[i].size());
    }
    std::vector<uint8_t> pixels;
    uint32_t w = 0, h = 0, c = 0;
    for (auto _ : state) {
        for (const auto& file : files) {
            if (PngCodec::decodeImage(file.data(), uint32_t(file.size()), pixels, w, h, c, kChannels) !=
                PngCodecDecodeResult::Success) {
                state.SkipWithError("decode failed");
                return;
            }
            benchmark::DoNotOptimize(pixels.data());
        }
    }
    report(state, bytes);
}
BENCHMARK(BM_PngCodecDecode)->ArgName("flags")->Arg(0)->Arg(1)->Arg(2);

void BM_OpenCvDecode(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> files(kTiles);
    double bytes = 0;
    for (int i = 0; i < kTiles; ++i) {
        cv::imencode(".png", asMat(tiles()[i]), files[i]);
        bytes += double(files[i].size());
    }
    for (auto _ : state) {
        for (const auto& file : files) {
            cv::Mat m = cv::imdecode(file, cv::IMREAD_UNCHANGED);
            benchmark::DoNotOptimize(m.data);
        }
    }
    report(state, bytes);
}
BENCHMARK(BM_OpenCvDecode);

}  // namespace

BENCHMARK_MAIN();
