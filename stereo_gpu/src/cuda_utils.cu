#include "cuda_utils.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "cuda_utils.cuh"
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

using namespace kernels;

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
