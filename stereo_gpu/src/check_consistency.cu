// Left-right consistency: a left disparity survives only where the source
// pixel is non-zero and the right view agrees within lrMaxDiff.

#include <cstdint>
#include <stdexcept>

#include "cuda_utils.h"
#include "launchers.h"
#include "check_consistency.cuh"

namespace sgm {
namespace {

using namespace kernels;

template <class T>
void launch(DeviceImage& left, const DeviceImage& right, const DeviceImage& src, bool subpixel, int lrMaxDiff) {
    const int width = left.cols, height = left.rows;
    const dim3 block(16, 16);
    const dim3 grid((width + 15) / 16, (height + 15) / 16);
    check_consistency_kernel<T><<<grid, block>>>(left.ptr<uint16_t>(), right.ptr<uint16_t>(), src.ptr<T>(), width,
                                                 height, src.step, left.step, subpixel, lrMaxDiff);
    SGM_CUDA_CHECK_LAUNCH();
}

}  // namespace

void checkConsistency(DeviceImage& dispLeft, const DeviceImage& dispRight, const DeviceImage& srcLeft, bool subpixel,
                      int lrMaxDiff) {
    if (dispLeft.type != ImageType::U16 || dispRight.type != ImageType::U16) throw std::logic_error("");
    if (dispLeft.rows == 0 || dispLeft.cols == 0) return;
    switch (srcLeft.type) {
        case ImageType::U8: launch<uint8_t>(dispLeft, dispRight, srcLeft, subpixel, lrMaxDiff); break;
        case ImageType::U16: launch<uint16_t>(dispLeft, dispRight, srcLeft, subpixel, lrMaxDiff); break;
        case ImageType::U32: launch<uint32_t>(dispLeft, dispRight, srcLeft, subpixel, lrMaxDiff); break;
        default: break;
    }
}

}  // namespace sgm
