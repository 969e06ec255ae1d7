#pragma once
// Scalar host model of every stage of the GPU semi-global matcher, one pixel
// and one disparity at a time, giving the same integers as the device kernels.
// Images are row-major with a pitch in elements. Free functions without shared
// state: safe to call from any number of threads on distinct buffers.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sgm {
namespace ref {

// Internal invalid disparity of the 16-bit disparity images.
constexpr uint16_t kInvalidDisparity = 0xFFFF;

struct Settings {
    int P1 = 10;
    int P2 = 120;
    float uniqueness = 0.95f;
    bool subpixel = true;
    int pathCount = 4;  // 4 or 8
    int minDisparity = 0;
    int lrMaxDiff = 1;
    bool symmetricCensus = true;
};

// 9 x 7 census: 56 bits, first comparison most significant. Pixels closer than
// 4 columns or 3 rows to the border stay 0. Output pitch = width.
template <class T>
std::vector<uint64_t> census(const T* src, int width, int height, int pitch);

// Symmetric census: 31 bits of pairwise comparisons around the centre, same
// border rule.
template <class T>
std::vector<uint32_t> symmetricCensus(const T* src, int width, int height, int pitch);

// Aggregated costs of every path (plane order: down, up, right, left, then for
// 8 paths the four diagonals (+1,+1), (-1,+1), (-1,-1), (+1,-1)). Plane p holds
// width x height x D bytes; cost of (x, y, d) at p*W*H*D + (y*W + x)*D + d.
template <class C>
std::vector<uint8_t> aggregateCosts(const C* left, const C* right, int width, int height,
                                    int disparitySize, int P1, int P2, int pathCount,
                                    int minDisparity);

// Winner-takes-all over the summed path costs. left/right have pitch `pitch`.
void winnerTakesAll(const uint8_t* costs, int width, int height, int pitch, int disparitySize,
                    int pathCount, float uniqueness, bool subpixel, uint16_t* left,
                    uint16_t* right);

// 3 x 3 median of the interior; border pixels become 0.
template <class T>
void median3x3(const T* src, T* dst, int width, int height, int pitch);

// Left-right check of `left` in place against `right`; source left gives the
// zero-pixel rule.
template <class T>
void checkConsistency(uint16_t* left, const uint16_t* right, const T* srcLeft, int width,
                      int height, int srcPitch, int dstPitch, bool subpixel, int lrMaxDiff);

// Invalid values become invalidDispScaled, the others get minDispScaled added
// (both modulo 2^16).
void correctDisparityRange(uint16_t* disp, int width, int height, int pitch, int minDispScaled,
                           int invalidDispScaled);

// Low byte of each element.
void cast16To8(const uint16_t* src, uint8_t* dst, size_t count);

// The whole pipeline for an 8-bit pair (pitch = width): the 16-bit output of
// the matcher (signed values stored as their two's complement).
std::vector<uint16_t> disparity(const uint8_t* left, const uint8_t* right, int width, int height,
                                int disparitySize, const Settings& settings);

}  // namespace ref
}  // namespace sgm
