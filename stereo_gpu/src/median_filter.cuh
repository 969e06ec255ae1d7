#pragma once
// 3 x 3 median kernels; border pixels are set to 0.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

namespace sgm {
namespace kernels {

template <class T>
__device__ inline void order(T& a, T& b) {
    const T lo = min(a, b);
    b = max(a, b);
    a = lo;
}

// Median of nine by the classic 19-exchange network.
template <class T>
__device__ inline T median9(T p0, T p1, T p2, T p3, T p4, T p5, T p6, T p7, T p8) {
    order(p1, p2); order(p4, p5); order(p7, p8);
    order(p0, p1); order(p3, p4); order(p6, p7);
    order(p1, p2); order(p4, p5); order(p7, p8);
    order(p0, p3); order(p5, p8); order(p4, p7);
    order(p3, p6); order(p1, p4); order(p2, p5);
    order(p4, p7); order(p4, p2); order(p6, p4);
    order(p4, p2);
    return p4;
}

template <class T>
__device__ inline T medianAt(const T* src, int width, int height, int pitch, int x, int y) {
    if (x <= 0 || x >= width - 1 || y <= 0 || y >= height - 1) return 0;
    const T* a = src + static_cast<size_t>(y - 1) * pitch + x;
    const T* b = a + pitch;
    const T* c = b + pitch;
    return median9<T>(a[-1], a[0], a[1], b[-1], b[0], b[1], c[-1], c[0], c[1]);
}

template <class T, int PIXELS>
__device__ inline void medianRun(const T* src, T* dst, int width, int height, int pitch) {
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int x0 = (blockIdx.x * blockDim.x + threadIdx.x) * PIXELS;
    if (y >= height) return;
#pragma unroll
    for (int i = 0; i < PIXELS; ++i) {
        const int x = x0 + i;
        if (x < width) dst[static_cast<size_t>(y) * pitch + x] = medianAt(src, width, height, pitch, x, y);
    }
}

__global__ void median_kernel_3x3_8u(const uint8_t* src, uint8_t* dst, int width, int height, int pitch) {
    medianRun<uint8_t, 1>(src, dst, width, height, pitch);
}
__global__ void median_kernel_3x3_8u_v4(const uint8_t* src, uint8_t* dst, int width, int height, int pitch) {
    medianRun<uint8_t, 4>(src, dst, width, height, pitch);
}
__global__ void median_kernel_3x3_16u(const uint16_t* src, uint16_t* dst, int width, int height, int pitch) {
    medianRun<uint16_t, 1>(src, dst, width, height, pitch);
}
__global__ void median_kernel_3x3_16u_v2(const uint16_t* src, uint16_t* dst, int width, int height, int pitch) {
    medianRun<uint16_t, 2>(src, dst, width, height, pitch);
}

}  // namespace kernels
}  // namespace sgm
