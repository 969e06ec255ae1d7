#pragma once
// Winner-takes-all kernel: one warp per image row.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

#include "kernel_common.cuh"

namespace sgm {
namespace kernels {

constexpr int kWarpsPerBlock = 8;

__device__ inline uint32_t warpMin(uint32_t v) {
#pragma unroll
    for (int offset = 16; offset > 0; offset >>= 1) v = min(v, __shfl_xor_sync(kFullMask, v, offset));
    return v;
}

// Output value of a unique winner: the disparity itself.
struct compute_disparity_normal {
    __device__ int operator()(int best, const uint32_t*, int) const { return best; }
};

// Output value of a unique winner in 1/16 pixel, refined by a parabola through
// the neighbouring sums inside the range (den > 0: ties go to the smaller d).
struct compute_disparity_subpixel {
    __device__ int operator()(int best, const uint32_t* sums, int D) const {
        int value = best * 16;
        if (best > 0 && best < D - 1) {
            const int l = static_cast<int>(sums[best - 1]);
            const int c = static_cast<int>(sums[best]);
            const int r = static_cast<int>(sums[best + 1]);
            const int den = l - 2 * c + r;
            value += ((l - r) * 16 + den) / (2 * den);
        }
        return value;
    }
};

template <int D, int PATHS, class ComputeDisparity>
__global__ void winner_takes_all_kernel(uint16_t* leftDisp, uint16_t* rightDisp, const uint8_t* costs,
                                        int width, int height, int pitch, float uniqueness) {
    constexpr int PER_LANE = D / 32;
    __shared__ uint32_t sums[kWarpsPerBlock][D];
    __shared__ uint32_t ring[kWarpsPerBlock][D];
    const int warp = threadIdx.x / 32;
    const int lane = threadIdx.x % 32;
    const int y = blockIdx.x * kWarpsPerBlock + warp;
    if (y >= height) return;
    const size_t plane = static_cast<size_t>(width) * height * D;
    uint32_t* rowSums = sums[warp];
    uint32_t* rowRing = ring[warp];
    uint16_t* leftRow = leftDisp + static_cast<size_t>(y) * pitch;
    uint16_t* rightRow = rightDisp + static_cast<size_t>(y) * pitch;
    const int dFirst = lane * PER_LANE;

    for (int x = 0; x < width; ++x) {
        const uint8_t* cost = costs + (static_cast<size_t>(y) * width + x) * D;
        uint32_t packed[PER_LANE];
        uint32_t localMin = 0xffffffffu;
#pragma unroll
        for (int j = 0; j < PER_LANE; ++j) {
            const int d = dFirst + j;
            uint32_t s = 0;
#pragma unroll
            for (int p = 0; p < PATHS; ++p) s += cost[p * plane + d];
            rowSums[d] = s;
            packed[j] = (s << 16) | static_cast<uint32_t>(d);
            localMin = min(localMin, packed[j]);
        }
        const uint32_t winner = warpMin(localMin);
        const int best = static_cast<int>(winner & 0xffffu);
        const float bestSum = static_cast<float>(winner >> 16);
        bool fails = false;
#pragma unroll
        for (int j = 0; j < PER_LANE; ++j) {
            const int d = dFirst + j;
            if (abs(d - best) >= 2 && !(__fmul_rn(static_cast<float>(packed[j] >> 16), uniqueness) >= bestSum))
                fails = true;
        }
        const bool unique = __all_sync(kFullMask, !fails);
        __syncwarp();
        if (lane == 0) {
            const int value = unique ? ComputeDisparity()(best, rowSums, D) : kInvalidDisparity;
            leftRow[x] = static_cast<uint16_t>(value);
            // Right column x - D has seen all its disparities; its slot is reused below.
            if (x >= D) rightRow[x - D] = static_cast<uint16_t>(rowRing[(x - D) % D] & 0xffffu);
        }
        __syncwarp();
#pragma unroll
        for (int j = 0; j < PER_LANE; ++j) {
            const int d = dFirst + j;
            const int xr = x - d;
            if (xr >= 0) {
                const int slot = xr % D;
                rowRing[slot] = d == 0 ? packed[j] : min(rowRing[slot], packed[j]);
            }
        }
        __syncwarp();
    }
    for (int xr = max(0, width - D) + lane; xr < width; xr += 32)
        rightRow[xr] = static_cast<uint16_t>(rowRing[xr % D] & 0xffffu);
}

}  // namespace kernels
}  // namespace sgm
