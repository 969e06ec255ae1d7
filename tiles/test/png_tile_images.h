#pragma once
// Synthetic map tiles for the PNG codec's tests and benchmark: an
// orthophoto-like texture (smooth terrain colours, field edges, a road,
// fine detail and sensor noise), plus flat and noise images.

#include <cmath>
#include <cstdint>
#include <vector>

namespace pngtest {

inline uint32_t hash2(int x, int y, uint32_t seed) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Smooth value noise in [0, 1).
inline double valueNoise(double x, double y, uint32_t seed) {
    const int xi = int(std::floor(x));
    const int yi = int(std::floor(y));
    double fx = x - xi;
    double fy = y - yi;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    auto v = [&](int a, int b) { return (hash2(a, b, seed) & 0xFFFF) / 65536.0; };
    const double top = v(xi, yi) + (v(xi + 1, yi) - v(xi, yi)) * fx;
    const double bottom = v(xi, yi + 1) + (v(xi + 1, yi + 1) - v(xi, yi + 1)) * fx;
    return top + (bottom - top) * fy;
}

inline double fractal(double x, double y, uint32_t seed) {
    double sum = 0, amplitude = 0.5, frequency = 1;
    for (int octave = 0; octave < 5; ++octave) {
        sum += amplitude * valueNoise(x * frequency, y * frequency, seed + octave);
        amplitude *= 0.5;
        frequency *= 2;
    }
    return sum;
}

inline uint8_t clampByte(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

// Pixels in R, G, B(, A) order. With 4 channels a corner lies outside the
// covered area (alpha 0, black), as on the edge tiles of a survey.
inline std::vector<uint8_t> orthoTile(uint32_t width, uint32_t height, uint32_t channels, uint32_t seed) {
    std::vector<uint8_t> pixels(size_t(width) * height * channels);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(size_t(y) * width + x) * channels];
            const double terrain = fractal(x / 64.0, y / 64.0, seed);
            const int field = int(fractal(x / 48.0 + 7, y / 48.0 + 3, seed + 17) * 5);  // patchwork
            const double detail = fractal(x / 3.0, y / 3.0, seed + 31) - 0.5;
            const double noise = (hash2(int(x), int(y), seed + 99) % 9) - 4.0;
            double r = 70 + 80 * terrain + field * 12 + 40 * detail + noise;
            double g = 90 + 70 * terrain - field * 6 + 35 * detail + noise;
            double b = 50 + 40 * terrain + field * 4 + 25 * detail + noise;
            const double road = std::abs(double(x) * 0.6 - double(y) + 40.0 + seed % 50);
            if (road < 5) r = g = b = 150 + 8 * detail + noise;
            p[0] = clampByte(r);
            p[1] = clampByte(g);
            p[2] = clampByte(b);
            if (channels == 4) {
                const bool covered = x + y > width / 4;
                p[3] = covered ? 255 : 0;
                if (!covered) p[0] = p[1] = p[2] = 0;
            }
        }
    }
    return pixels;
}

inline std::vector<uint8_t> flatTile(uint32_t width, uint32_t height, uint32_t channels) {
    std::vector<uint8_t> pixels(size_t(width) * height * channels);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(40 + 50 * (i % channels));
    return pixels;
}

inline std::vector<uint8_t> noiseTile(uint32_t width, uint32_t height, uint32_t channels, uint32_t seed) {
    std::vector<uint8_t> pixels(size_t(width) * height * channels);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(hash2(int(i), 0, seed));
    return pixels;
}

}  // namespace pngtest
