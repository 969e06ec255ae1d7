#include "sgm/host_reference.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace sgm {
namespace ref {
namespace {

template <class C>
int hamming(C a, C b) {
    return __builtin_popcountll(static_cast<unsigned long long>(a ^ b));
}

// Steps of the eight paths in plane order.
constexpr int kPathDx[8] = {0, 0, 1, -1, 1, -1, -1, 1};
constexpr int kPathDy[8] = {1, -1, 0, 0, 1, 1, -1, -1};

}  // namespace

template <class T>
std::vector<uint64_t> census(const T* src, int width, int height, int pitch) {
    std::vector<uint64_t> out(static_cast<size_t>(width) * height, 0);
    for (int y = 3; y < height - 3; ++y) {
        for (int x = 4; x < width - 4; ++x) {
            const T c = src[static_cast<size_t>(y) * pitch + x];
            uint64_t code = 0;
            for (int dy = -3; dy <= 3; ++dy) {
                for (int dx = -4; dx <= 4; ++dx) {
                    if (dx == 0) continue;
                    const T n = src[static_cast<size_t>(y + dy) * pitch + x + dx];
                    code = (code << 1) | (c > n ? 1u : 0u);
                }
            }
            out[static_cast<size_t>(y) * width + x] = code;
        }
    }
    return out;
}

template <class T>
std::vector<uint32_t> symmetricCensus(const T* src, int width, int height, int pitch) {
    std::vector<uint32_t> out(static_cast<size_t>(width) * height, 0);
    auto at = [&](int x, int y) { return src[static_cast<size_t>(y) * pitch + x]; };
    for (int y = 3; y < height - 3; ++y) {
        for (int x = 4; x < width - 4; ++x) {
            uint32_t code = 0;
            for (int dy = -3; dy <= -1; ++dy)
                for (int dx = -4; dx <= 4; ++dx)
                    code = (code << 1) | (at(x + dx, y + dy) > at(x - dx, y - dy) ? 1u : 0u);
            for (int dx = -4; dx <= -1; ++dx)
                code = (code << 1) | (at(x + dx, y) > at(x - dx, y) ? 1u : 0u);
            out[static_cast<size_t>(y) * width + x] = code;
        }
    }
    return out;
}

template <class C>
std::vector<uint8_t> aggregateCosts(const C* left, const C* right, int width, int height,
                                    int D, int P1, int P2, int pathCount, int minDisparity) {
    if (pathCount != 4 && pathCount != 8) throw std::invalid_argument("path count must be 4 or 8");
    const size_t plane = static_cast<size_t>(width) * height * D;
    std::vector<uint8_t> out(plane * pathCount, 0);
    std::vector<int> cost(plane);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int d = 0; d < D; ++d) {
                const int xr = x - d - minDisparity;
                const C r = (xr >= 0 && xr < width) ? right[static_cast<size_t>(y) * width + xr] : C(0);
                cost[(static_cast<size_t>(y) * width + x) * D + d] =
                    hamming(left[static_cast<size_t>(y) * width + x], r);
            }

    std::vector<int> L(plane);
    for (int p = 0; p < pathCount; ++p) {
        const int dx = kPathDx[p], dy = kPathDy[p];
        for (int iy = 0; iy < height; ++iy) {
            const int y = dy >= 0 ? iy : height - 1 - iy;
            for (int ix = 0; ix < width; ++ix) {
                const int x = dx >= 0 ? ix : width - 1 - ix;
                const size_t here = (static_cast<size_t>(y) * width + x) * D;
                const int px = x - dx, py = y - dy;
                if (px < 0 || px >= width || py < 0 || py >= height) {
                    for (int d = 0; d < D; ++d) L[here + d] = cost[here + d];
                } else {
                    const int* prev = &L[(static_cast<size_t>(py) * width + px) * D];
                    const int m = *std::min_element(prev, prev + D);
                    for (int d = 0; d < D; ++d) {
                        int best = std::min(prev[d] - m, P2);
                        if (d > 0) best = std::min(best, prev[d - 1] - m + P1);
                        if (d < D - 1) best = std::min(best, prev[d + 1] - m + P1);
                        L[here + d] = cost[here + d] + best;
                    }
                }
                for (int d = 0; d < D; ++d)
                    out[p * plane + here + d] = static_cast<uint8_t>(L[here + d]);
            }
        }
    }
    return out;
}

void winnerTakesAll(const uint8_t* costs, int width, int height, int pitch, int D, int pathCount,
                    float uniqueness, bool subpixel, uint16_t* left, uint16_t* right) {
    const size_t plane = static_cast<size_t>(width) * height * D;
    std::vector<int> sums(static_cast<size_t>(width) * D);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int d = 0; d < D; ++d) {
                int s = 0;
                for (int p = 0; p < pathCount; ++p)
                    s += costs[p * plane + (static_cast<size_t>(y) * width + x) * D + d];
                sums[static_cast<size_t>(x) * D + d] = s;
            }
        for (int x = 0; x < width; ++x) {
            const int* s = &sums[static_cast<size_t>(x) * D];
            int best = 0;
            for (int d = 1; d < D; ++d)
                if (s[d] < s[best]) best = d;
            bool unique = true;
            for (int d = 0; d < D; ++d)
                if (std::abs(d - best) >= 2 && !(static_cast<float>(s[d]) * uniqueness >=
                                                 static_cast<float>(s[best])))
                    unique = false;
            int value;
            if (!unique) {
                value = kInvalidDisparity;
            } else if (!subpixel) {
                value = best;
            } else {
                value = best * 16;
                if (best > 0 && best < D - 1) {
                    const int l = s[best - 1], c = s[best], r = s[best + 1];
                    const int den = l - 2 * c + r;
                    value += ((l - r) * 16 + den) / (2 * den);
                }
            }
            left[static_cast<size_t>(y) * pitch + x] = static_cast<uint16_t>(value);

            int rbest = 0;
            for (int d = 1; d < D && x + d < width; ++d)
                if (sums[static_cast<size_t>(x + d) * D + d] < sums[static_cast<size_t>(x + rbest) * D + rbest])
                    rbest = d;
            right[static_cast<size_t>(y) * pitch + x] = static_cast<uint16_t>(rbest);
        }
    }
}

template <class T>
void median3x3(const T* src, T* dst, int width, int height, int pitch) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            T value = 0;
            if (x > 0 && x < width - 1 && y > 0 && y < height - 1) {
                T v[9];
                int n = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        v[n++] = src[static_cast<size_t>(y + dy) * pitch + x + dx];
                std::nth_element(v, v + 4, v + 9);
                value = v[4];
            }
            dst[static_cast<size_t>(y) * pitch + x] = value;
        }
}

template <class T>
void checkConsistency(uint16_t* left, const uint16_t* right, const T* srcLeft, int width,
                      int height, int srcPitch, int dstPitch, bool subpixel, int lrMaxDiff) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint16_t& v = left[static_cast<size_t>(y) * dstPitch + x];
            if (srcLeft[static_cast<size_t>(y) * srcPitch + x] == 0 || v == kInvalidDisparity) {
                v = kInvalidDisparity;
                continue;
            }
            const int d = subpixel ? (v >> 4) : v;
            const int k = x - d;
            if (k >= 0 && k < width && lrMaxDiff >= 0 &&
                std::abs(static_cast<int>(right[static_cast<size_t>(y) * dstPitch + k]) - d) > lrMaxDiff)
                v = kInvalidDisparity;
        }
}

void correctDisparityRange(uint16_t* disp, int width, int height, int pitch, int minDispScaled,
                           int invalidDispScaled) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint16_t& v = disp[static_cast<size_t>(y) * pitch + x];
            v = v == kInvalidDisparity ? static_cast<uint16_t>(invalidDispScaled)
                                       : static_cast<uint16_t>(v + minDispScaled);
        }
}

void cast16To8(const uint16_t* src, uint8_t* dst, size_t count) {
    for (size_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(src[i]);
}

namespace {
template <class C>
std::vector<uint8_t> costsOf(const std::vector<C>& l, const std::vector<C>& r, int width,
                             int height, int D, const Settings& s) {
    return aggregateCosts(l.data(), r.data(), width, height, D, s.P1, s.P2, s.pathCount,
                          s.minDisparity);
}
}  // namespace

std::vector<uint16_t> disparity(const uint8_t* left, const uint8_t* right, int width, int height,
                                int D, const Settings& s) {
    std::vector<uint8_t> costs;
    if (s.symmetricCensus)
        costs = costsOf(symmetricCensus(left, width, height, width),
                        symmetricCensus(right, width, height, width), width, height, D, s);
    else
        costs = costsOf(census(left, width, height, width), census(right, width, height, width),
                        width, height, D, s);
    const size_t n = static_cast<size_t>(width) * height;
    std::vector<uint16_t> dl(n), dr(n), result(n), filteredRight(n);
    winnerTakesAll(costs.data(), width, height, width, D, s.pathCount, s.uniqueness, s.subpixel,
                   dl.data(), dr.data());
    median3x3(dl.data(), result.data(), width, height, width);
    median3x3(dr.data(), filteredRight.data(), width, height, width);
    checkConsistency(result.data(), filteredRight.data(), left, width, height, width, width,
                     s.subpixel, s.lrMaxDiff);
    if (s.subpixel || s.minDisparity != 0) {
        const int scale = s.subpixel ? 16 : 1;
        correctDisparityRange(result.data(), width, height, width, s.minDisparity * scale,
                              (s.minDisparity - 1) * scale);
    }
    return result;
}

#define SGM_REF_SOURCE(T)                                                                        \
    template std::vector<uint64_t> census<T>(const T*, int, int, int);                          \
    template std::vector<uint32_t> symmetricCensus<T>(const T*, int, int, int);                 \
    template void checkConsistency<T>(uint16_t*, const uint16_t*, const T*, int, int, int, int, \
                                      bool, int);
SGM_REF_SOURCE(uint8_t)
SGM_REF_SOURCE(uint16_t)
SGM_REF_SOURCE(uint32_t)
#undef SGM_REF_SOURCE

template std::vector<uint8_t> aggregateCosts<uint32_t>(const uint32_t*, const uint32_t*, int, int,
                                                       int, int, int, int, int);
template std::vector<uint8_t> aggregateCosts<uint64_t>(const uint64_t*, const uint64_t*, int, int,
                                                       int, int, int, int, int);
template void median3x3<uint8_t>(const uint8_t*, uint8_t*, int, int, int);
template void median3x3<uint16_t>(const uint16_t*, uint16_t*, int, int, int);

}  // namespace ref
}  // namespace sgm
