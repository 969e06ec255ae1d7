#pragma once
// Array casts between 16 and 8-bit elements.
// Device code only; included by the launcher unit.

#include <cstdint>

namespace sgm {
namespace kernels {

__global__ void cast_16bit_8bit_array_kernel(const uint16_t* src, uint8_t* dst, int count) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) dst[i] = static_cast<uint8_t>(src[i]);
}

// Kept for symmetry with the 16-to-8 cast; the pipeline never widens.
__global__ void cast_8bit_16bit_array_kernel(const uint8_t* src, uint16_t* dst, int count) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) dst[i] = src[i];
}

}  // namespace kernels
}  // namespace sgm
