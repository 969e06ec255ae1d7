// Winner-takes-all: one warp per image row walks the row's pixels, sums the
// path costs of every disparity, takes the smallest packed (sum, disparity)
// by a butterfly reduction and tests uniqueness. The right-view minima are
// gathered along the diagonals x + d in a ring of D entries per warp.

#include <cstdint>

#include "cuda_utils.h"
#include "launchers.h"
#include "winner_takes_all.cuh"

namespace sgm {
namespace {

using namespace kernels;

template <int D>
void launchWinnerTakesAll(const DeviceImage& costs, DeviceImage& left, DeviceImage& right, float uniqueness,
                          bool subpixel, PathType pathType) {
    const int width = left.cols, height = left.rows;
    const int grid = (height + kWarpsPerBlock - 1) / kWarpsPerBlock;
    const int block = 32 * kWarpsPerBlock;
    uint16_t* l = left.ptr<uint16_t>();
    uint16_t* r = right.ptr<uint16_t>();
    const uint8_t* c = costs.ptr<uint8_t>();
    if (pathType == PathType::EightPaths && subpixel)
        winner_takes_all_kernel<D, 8, compute_disparity_subpixel><<<grid, block>>>(l, r, c, width, height, left.step, uniqueness);
    else if (pathType == PathType::FourPaths && subpixel)
        winner_takes_all_kernel<D, 4, compute_disparity_subpixel><<<grid, block>>>(l, r, c, width, height, left.step, uniqueness);
    else if (pathType == PathType::EightPaths)
        winner_takes_all_kernel<D, 8, compute_disparity_normal><<<grid, block>>>(l, r, c, width, height, left.step, uniqueness);
    else
        winner_takes_all_kernel<D, 4, compute_disparity_normal><<<grid, block>>>(l, r, c, width, height, left.step, uniqueness);
    SGM_CUDA_CHECK_LAUNCH();
}

}  // namespace

void winnerTakesAll(const DeviceImage& costs, DeviceImage& dispLeft, DeviceImage& dispRight, int disparitySize,
                    float uniqueness, bool subpixel, PathType pathType) {
    if (dispLeft.type != ImageType::U16) dispLeft.create(dispLeft.rows, dispLeft.cols, ImageType::U16, dispLeft.step);
    if (dispRight.type != ImageType::U16)
        dispRight.create(dispRight.rows, dispRight.cols, ImageType::U16, dispRight.step);
    if (dispLeft.rows == 0 || dispLeft.cols == 0) return;
    switch (disparitySize) {
        case 64: launchWinnerTakesAll<64>(costs, dispLeft, dispRight, uniqueness, subpixel, pathType); break;
        case 128: launchWinnerTakesAll<128>(costs, dispLeft, dispRight, uniqueness, subpixel, pathType); break;
        case 256: launchWinnerTakesAll<256>(costs, dispLeft, dispRight, uniqueness, subpixel, pathType); break;
        default: break;
    }
}

}  // namespace sgm
