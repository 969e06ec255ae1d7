#pragma once
// Path-wise cost aggregation kernels. A subgroup of threads walks one path;
// each thread keeps a run of consecutive disparities in registers and takes
// its neighbours' edge values and the subgroup minimum by warp shuffles.
// Device code only; included by the launcher unit.

#include <cstddef>
#include <cstdint>

#include "kernel_common.cuh"

namespace sgm {
namespace kernels {

__device__ inline uint32_t popcount(uint32_t v) { return __popc(v); }
__device__ inline uint32_t popcount(uint64_t v) { return __popcll(v); }

// Matching costs of N consecutive disparities from d0 at (x, y).
template <class C, int N>
__device__ inline void matchingCosts(uint32_t (&cost)[N], const C* left, const C* right, int width,
                                     int x, int y, int d0, int minDisparity) {
    const size_t row = static_cast<size_t>(y) * width;
    const C l = left[row + x];
#pragma unroll
    for (int k = 0; k < N; ++k) {
        const int xr = x - (d0 + k) - minDisparity;
        const C r = (xr >= 0 && xr < width) ? right[row + xr] : C(0);
        cost[k] = popcount(static_cast<C>(l ^ r));
    }
}

// One step along a path: out(d) = cost(d) + min(prev(d) - m, prev(d +- 1) - m + P1, P2).
// Every lane of the warp must call it (it shuffles).
template <int N, int SG>
__device__ inline void pathStep(uint32_t (&dp)[N], const uint32_t (&cost)[N], uint32_t P1,
                                uint32_t P2, int lane, bool restart) {
    const uint32_t fromLower = __shfl_up_sync(kFullMask, dp[N - 1], 1, SG);
    const uint32_t fromUpper = __shfl_down_sync(kFullMask, dp[0], 1, SG);
    uint32_t m = dp[0];
#pragma unroll
    for (int k = 1; k < N; ++k) m = min(m, dp[k]);
#pragma unroll
    for (int offset = SG / 2; offset > 0; offset >>= 1)
        m = min(m, __shfl_xor_sync(kFullMask, m, offset, SG));
    if (restart) {
#pragma unroll
        for (int k = 0; k < N; ++k) dp[k] = cost[k];
        return;
    }
    uint32_t out[N];
#pragma unroll
    for (int k = 0; k < N; ++k) {
        uint32_t best = min(dp[k] - m, P2);
        if (k > 0)
            best = min(best, dp[k - 1] - m + P1);
        else if (lane > 0)
            best = min(best, fromLower - m + P1);
        if (k < N - 1)
            best = min(best, dp[k + 1] - m + P1);
        else if (lane < SG - 1)
            best = min(best, fromUpper - m + P1);
        out[k] = cost[k] + best;
    }
#pragma unroll
    for (int k = 0; k < N; ++k) dp[k] = out[k];
}

__device__ inline uint32_t packBytes(const uint32_t* v) {
    return (v[0] & 0xffu) | ((v[1] & 0xffu) << 8) | ((v[2] & 0xffu) << 16) | ((v[3] & 0xffu) << 24);
}

__device__ inline void store16(uint8_t* dst, const uint32_t (&dp)[16]) {
    *reinterpret_cast<uint4*>(dst) = make_uint4(packBytes(dp), packBytes(dp + 4), packBytes(dp + 8), packBytes(dp + 12));
}

__device__ inline void store8(uint8_t* dst, const uint32_t (&dp)[8]) {
    *reinterpret_cast<uint2*>(dst) = make_uint2(packBytes(dp), packBytes(dp + 4));
}

constexpr int kVerticalBlock = 256;
constexpr int kHorizontalBlock = 128;
constexpr int kObliqueBlock = 256;

template <class C, int DIR, int D>
__global__ void aggregate_vertical_path_kernel(uint8_t* dest, const C* left, const C* right, int width,
                                               int height, unsigned P1, unsigned P2, int minDisparity) {
    constexpr int N = 16;
    constexpr int SG = D / N;
    constexpr int PATHS_PER_BLOCK = kVerticalBlock / SG;
    const int lane = threadIdx.x % SG;
    const int x = blockIdx.x * PATHS_PER_BLOCK + threadIdx.x / SG;
    const bool active = x < width;
    const int d0 = lane * N;
    uint32_t dp[N] = {};
    for (int i = 0; i < height; ++i) {
        const int y = DIR > 0 ? i : height - 1 - i;
        uint32_t cost[N] = {};
        if (active) matchingCosts(cost, left, right, width, x, y, d0, minDisparity);
        pathStep<N, SG>(dp, cost, P1, P2, lane, i == 0);
        if (active) store16(dest + (static_cast<size_t>(y) * width + x) * D + d0, dp);
    }
}

template <class C, int DIR, int D>
__global__ void aggregate_horizontal_path_kernel(uint8_t* dest, const C* left, const C* right, int width,
                                                 int height, unsigned P1, unsigned P2, int minDisparity) {
    constexpr int N = 8;
    constexpr int SG = D / N;
    constexpr int PATHS_PER_BLOCK = kHorizontalBlock / SG;
    const int lane = threadIdx.x % SG;
    const int y = blockIdx.x * PATHS_PER_BLOCK + threadIdx.x / SG;
    const bool active = y < height;
    const int d0 = lane * N;
    uint32_t dp[N] = {};
    for (int i = 0; i < width; ++i) {
        const int x = DIR > 0 ? i : width - 1 - i;
        uint32_t cost[N] = {};
        if (active) matchingCosts(cost, left, right, width, x, y, d0, minDisparity);
        pathStep<N, SG>(dp, cost, P1, P2, lane, i == 0);
        if (active) store8(dest + (static_cast<size_t>(y) * width + x) * D + d0, dp);
    }
}

// Diagonal k of W + H - 1: x - y = k - (H - 1) when both steps have the same
// sign, x + y = k otherwise. The walk goes row by row in the y direction.
template <class C, int DX, int DY, int D>
__global__ void aggregate_oblique_path_kernel(uint8_t* dest, const C* left, const C* right, int width,
                                              int height, unsigned P1, unsigned P2, int minDisparity) {
    constexpr int N = 16;
    constexpr int SG = D / N;
    constexpr int PATHS_PER_BLOCK = kObliqueBlock / SG;
    const int lane = threadIdx.x % SG;
    const int k = blockIdx.x * PATHS_PER_BLOCK + threadIdx.x / SG;
    const bool valid = k < width + height - 1;
    const int d0 = lane * N;
    uint32_t dp[N] = {};
    bool started = false;
    for (int i = 0; i < height; ++i) {
        const int y = DY > 0 ? i : height - 1 - i;
        const int x = DX == DY ? k - (height - 1) + y : k - y;
        const bool inside = valid && x >= 0 && x < width;
        uint32_t cost[N] = {};
        if (inside) matchingCosts(cost, left, right, width, x, y, d0, minDisparity);
        uint32_t next[N];
#pragma unroll
        for (int j = 0; j < N; ++j) next[j] = dp[j];
        pathStep<N, SG>(next, cost, P1, P2, lane, !started);
        if (inside) {
#pragma unroll
            for (int j = 0; j < N; ++j) dp[j] = next[j];
            started = true;
            store16(dest + (static_cast<size_t>(y) * width + x) * D + d0, dp);
        }
    }
}

}  // namespace kernels
}  // namespace sgm
