#pragma once
// Left-right consistency kernel.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

#include "kernel_common.cuh"

namespace sgm {
namespace kernels {

template <class T>
__global__ void check_consistency_kernel(uint16_t* leftDisp, const uint16_t* rightDisp, const T* srcLeft, int width,
                                         int height, int srcPitch, int dstPitch, bool subpixel, int lrMaxDiff) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    uint16_t* p = leftDisp + static_cast<size_t>(y) * dstPitch + x;
    const uint16_t v = *p;
    if (srcLeft[static_cast<size_t>(y) * srcPitch + x] == 0 || v == kInvalidDisparity) {
        *p = kInvalidDisparity;
        return;
    }
    const int d = subpixel ? (v >> 4) : v;
    const int k = x - d;
    if (k >= 0 && k < width && lrMaxDiff >= 0) {
        const int r = rightDisp[static_cast<size_t>(y) * dstPitch + k];
        if (abs(r - d) > lrMaxDiff) *p = kInvalidDisparity;
    }
}

}  // namespace kernels
}  // namespace sgm
