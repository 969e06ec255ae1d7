#pragma once
// A 2-D device image: rows x cols elements with a step (pitch) in elements,
// held by a DeviceBuffer. Sizes are computed in 64 bits.

#include <cstddef>
#include <cstdint>

#include "device_buffer.h"

namespace sgm {

enum class ImageType : int32_t { U8 = 0, U16 = 1, U32 = 2, U64 = 3 };

size_t elementSize(ImageType type);

class DeviceImage {
public:
    DeviceImage() = default;
    DeviceImage(void* data, int rows, int cols, ImageType type, int step = -1);

    // step < 0 means step = cols; a large enough earlier block is reused.
    void create(int rows, int cols, ImageType type, int step = -1);
    void wrap(void* data, int rows, int cols, ImageType type, int step = -1);
    void release();

    // Synchronous copies of step x rows elements.
    void upload(const void* host);
    void download(void* host) const;
    void fillZero();

    size_t byteSize() const { return static_cast<size_t>(step) * static_cast<size_t>(rows) * elementSize(type); }
    template <class T>
    T* ptr(int y = 0) { return reinterpret_cast<T*>(data) + static_cast<size_t>(y) * step; }
    template <class T>
    const T* ptr(int y = 0) const { return reinterpret_cast<const T*>(data) + static_cast<size_t>(y) * step; }
    bool empty() const { return data == nullptr; }

    void* data = nullptr;
    int rows = 0;
    int cols = 0;
    int step = 0;
    ImageType type = ImageType::U8;
    DeviceBuffer buffer;
};

}  // namespace sgm
