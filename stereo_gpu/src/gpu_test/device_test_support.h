#pragma once
// Helpers of the device tests: the skip where no device is usable, random
// pairs and host/device copies.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_image.h"

namespace sgmtest {

// Why the dense stage would not use the GPU here, from its device query;
// empty where a device is usable.
std::string noUsableDeviceReason();

// The device tests' fixture: each skips with that reason.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// Textured pair where left x matches right x - shift, with a few zero pixels
// in the left image; values of type T scaled by `scale`.
template <class T>
void texturedPair(int width, int height, int shift, unsigned seed, std::vector<T>& left, std::vector<T>& right,
                  int scale = 1) {
    std::mt19937 rng(seed);
    std::vector<int> wide(static_cast<size_t>(width + shift) * height);
    for (auto& v : wide) v = 1 + static_cast<int>(rng() % 255);
    // Light smoothing along rows gives matchable structure.
    for (int y = 0; y < height; ++y)
        for (int x = width + shift - 1; x > 0; --x) {
            int& v = wide[static_cast<size_t>(y) * (width + shift) + x];
            v = (v + wide[static_cast<size_t>(y) * (width + shift) + x - 1]) / 2;
        }
    left.assign(static_cast<size_t>(width) * height, 0);
    right.assign(static_cast<size_t>(width) * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            left[static_cast<size_t>(y) * width + x] = static_cast<T>(wide[static_cast<size_t>(y) * (width + shift) + x] * scale);
            right[static_cast<size_t>(y) * width + x] =
                static_cast<T>(wide[static_cast<size_t>(y) * (width + shift) + x + shift] * scale);
        }
    for (int i = 0; i < 5; ++i) left[rng() % left.size()] = 0;
}

template <class T>
sgm::DeviceImage upload(const std::vector<T>& host, int rows, int cols, sgm::ImageType type, int step = -1) {
    sgm::DeviceImage image;
    image.create(rows, cols, type, step);
    image.upload(host.data());
    return image;
}

template <class T>
std::vector<T> download(const sgm::DeviceImage& image) {
    std::vector<T> host(image.byteSize() / sizeof(T));
    image.download(host.data());
    return host;
}

}  // namespace sgmtest
