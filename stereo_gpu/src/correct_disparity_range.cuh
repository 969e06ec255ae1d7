#pragma once
// Disparity range correction kernel.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

namespace sgm {
namespace kernels {

__global__ void correct_disparity_range_kernel(uint16_t* disp, int width, int height, int pitch, int minDispScaled,
                                               int invalidDispScaled) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    uint16_t* p = disp + static_cast<size_t>(y) * pitch + x;
    *p = *p == 0xFFFF ? static_cast<uint16_t>(invalidDispScaled) : static_cast<uint16_t>(*p + minDispScaled);
}

}  // namespace kernels
}  // namespace sgm
