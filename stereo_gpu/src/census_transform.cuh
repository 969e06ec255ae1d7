#pragma once
// Census kernels: 9 x 7 window (64-bit codes) and the symmetric variant
// (32-bit codes). Each block stages a tile of 128 columns and 16 + 6 rows.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

namespace sgm {
namespace kernels {

constexpr int kBlockWidth = 128;
constexpr int kOutputColumns = kBlockWidth - 8;  // 4 columns of margin on each side
constexpr int kOutputRows = 16;
constexpr int kTileRows = kOutputRows + 6;

template <class T>
__device__ void loadTile(T (*tile)[kBlockWidth], const T* src, int width, int height, int pitch,
                         int x0, int y0) {
    const int x = x0 - 4 + static_cast<int>(threadIdx.x);
    for (int r = 0; r < kTileRows; ++r) {
        const int y = y0 - 3 + r;
        T v = 0;
        if (x >= 0 && x < width && y >= 0 && y < height) v = src[static_cast<size_t>(y) * pitch + x];
        tile[r][threadIdx.x] = v;
    }
    __syncthreads();
}

template <class T>
__global__ void census_transform_kernel(uint64_t* dst, const T* src, int width, int height, int pitch) {
    __shared__ T tile[kTileRows][kBlockWidth];
    const int x0 = blockIdx.x * kOutputColumns;
    const int y0 = blockIdx.y * kOutputRows;
    loadTile(tile, src, width, height, pitch, x0, y0);
    const int tx = threadIdx.x;
    if (tx < 4 || tx >= kBlockWidth - 4) return;
    const int x = x0 + tx - 4;
    if (x < 4 || x >= width - 4) return;
    for (int i = 0; i < kOutputRows; ++i) {
        const int y = y0 + i;
        if (y < 3 || y >= height - 3) continue;
        const T c = tile[i + 3][tx];
        uint64_t code = 0;
        for (int dy = -3; dy <= 3; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                if (dx == 0) continue;
                code = (code << 1) | (c > tile[i + 3 + dy][tx + dx] ? 1u : 0u);
            }
        }
        dst[static_cast<size_t>(y) * width + x] = code;
    }
}

template <class T>
__global__ void symmetric_census_kernel(uint32_t* dst, const T* src, int width, int height, int pitch) {
    __shared__ T tile[kTileRows][kBlockWidth];
    const int x0 = blockIdx.x * kOutputColumns;
    const int y0 = blockIdx.y * kOutputRows;
    loadTile(tile, src, width, height, pitch, x0, y0);
    const int tx = threadIdx.x;
    if (tx < 4 || tx >= kBlockWidth - 4) return;
    const int x = x0 + tx - 4;
    if (x < 4 || x >= width - 4) return;
    for (int i = 0; i < kOutputRows; ++i) {
        const int y = y0 + i;
        if (y < 3 || y >= height - 3) continue;
        const int cy = i + 3;
        uint32_t code = 0;
        for (int dy = -3; dy <= -1; ++dy)
            for (int dx = -4; dx <= 4; ++dx)
                code = (code << 1) | (tile[cy + dy][tx + dx] > tile[cy - dy][tx - dx] ? 1u : 0u);
        for (int dx = -4; dx <= -1; ++dx)
            code = (code << 1) | (tile[cy][tx + dx] > tile[cy][tx - dx] ? 1u : 0u);
        dst[static_cast<size_t>(y) * width + x] = code;
    }
}

}  // namespace kernels
}  // namespace sgm
