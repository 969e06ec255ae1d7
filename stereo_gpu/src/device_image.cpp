#include "device_image.h"

#include <cuda_runtime.h>

#include "cuda_utils.h"

namespace sgm {

size_t elementSize(ImageType type) {
    switch (type) {
        case ImageType::U8: return 1;
        case ImageType::U16: return 2;
        case ImageType::U32: return 4;
        case ImageType::U64: return 8;
    }
    return 0;
}

DeviceImage::DeviceImage(void* data, int rows, int cols, ImageType type, int step) {
    wrap(data, rows, cols, type, step);
}

void DeviceImage::create(int rows_, int cols_, ImageType type_, int step_) {
    if (step_ < 0) step_ = cols_;
    const size_t size = static_cast<size_t>(step_) * static_cast<size_t>(rows_) * elementSize(type_);
    buffer.allocate(size);
    data = buffer.data();
    rows = rows_;
    cols = cols_;
    step = step_;
    type = type_;
}

void DeviceImage::wrap(void* data_, int rows_, int cols_, ImageType type_, int step_) {
    if (step_ < 0) step_ = cols_;
    buffer.wrap(data_, static_cast<size_t>(step_) * static_cast<size_t>(rows_) * elementSize(type_));
    data = data_;
    rows = rows_;
    cols = cols_;
    step = step_;
    type = type_;
}

void DeviceImage::release() {
    buffer.release();
    data = nullptr;
    rows = cols = step = 0;
}

void DeviceImage::upload(const void* host) {
    SGM_CUDA_CHECK(cudaMemcpy(data, host, byteSize(), cudaMemcpyHostToDevice));
}

void DeviceImage::download(void* host) const {
    SGM_CUDA_CHECK(cudaMemcpy(host, data, byteSize(), cudaMemcpyDeviceToHost));
}

void DeviceImage::fillZero() { SGM_CUDA_CHECK(cudaMemset(data, 0, byteSize())); }

}  // namespace sgm
