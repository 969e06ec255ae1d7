#include "cuda_utils.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "launchers.h"

namespace sgm {
namespace detail {

bool reportCuda(cudaError_t err, const char* file, int line) noexcept {
    if (err == cudaSuccess) return true;
    std::printf("[CUDA Error] %s (code: %d) at %s:%d\n", cudaGetErrorString(err),
                static_cast<int>(err), file, line);
    std::fflush(stdout);
    // Clears the runtime's last-error state so that a later launch check
    // does not report this failure again.
    (void)cudaGetLastError();
    return false;
}

void checkCuda(cudaError_t err, const char* file, int line) {
    if (reportCuda(err, file, line)) return;
    throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(err) + " (code: " +
                             std::to_string(static_cast<int>(err)) + ")");
}

}  // namespace detail

__global__ void cast_16bit_8bit_array_kernel(const uint16_t* src, uint8_t* dst, int count) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) dst[i] = static_cast<uint8_t>(src[i]);
}

// Kept for symmetry with the 16-to-8 cast; the pipeline never widens.
__global__ void cast_8bit_16bit_array_kernel(const uint8_t* src, uint16_t* dst, int count) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) dst[i] = src[i];
}

void cast16To8(const DeviceImage& src, DeviceImage& dst) {
    dst.create(src.rows, src.cols, ImageType::U8, src.step);
    const size_t count = static_cast<size_t>(src.rows) * src.step;
    if (count == 0) return;
    // One launch per 2^30 elements keeps the element index in 32 bits.
    constexpr size_t kChunk = size_t(1) << 30;
    for (size_t first = 0; first < count; first += kChunk) {
        const int n = static_cast<int>(count - first < kChunk ? count - first : kChunk);
        cast_16bit_8bit_array_kernel<<<(n + 1023) / 1024, 1024>>>(
            src.ptr<uint16_t>() + first, dst.ptr<uint8_t>() + first, n);
        SGM_CUDA_CHECK_LAUNCH();
    }
}

}  // namespace sgm
