// 3 x 3 median of the interior; border pixels are set to 0. The vector
// variants compute 4 (8-bit) or 2 (16-bit) neighbouring pixels per thread.

#include <cstdint>

#include "cuda_utils.h"
#include "launchers.h"
#include "median_filter.cuh"

namespace sgm {
namespace {

using namespace kernels;

}  // namespace

void medianFilter(const DeviceImage& src, DeviceImage& dst) {
    dst.create(src.rows, src.cols, src.type, src.step);
    const int width = src.cols, height = src.rows, pitch = src.step;
    if (width == 0 || height == 0) return;
    const dim3 block(16, 16);
    const int gy = (height + 15) / 16;
    if (src.type == ImageType::U8) {
        if (pitch % 4 == 0)
            median_kernel_3x3_8u_v4<<<dim3((((width + 3) / 4) + 15) / 16, gy), block>>>(
                src.ptr<uint8_t>(), dst.ptr<uint8_t>(), width, height, pitch);
        else
            median_kernel_3x3_8u<<<dim3((width + 15) / 16, gy), block>>>(src.ptr<uint8_t>(), dst.ptr<uint8_t>(),
                                                                      width, height, pitch);
    } else if (src.type == ImageType::U16) {
        if (pitch % 2 == 0)
            median_kernel_3x3_16u_v2<<<dim3((((width + 1) / 2) + 15) / 16, gy), block>>>(
                src.ptr<uint16_t>(), dst.ptr<uint16_t>(), width, height, pitch);
        else
            median_kernel_3x3_16u<<<dim3((width + 15) / 16, gy), block>>>(src.ptr<uint16_t>(),
                                                                       dst.ptr<uint16_t>(), width, height, pitch);
    } else {
        return;
    }
    SGM_CUDA_CHECK_LAUNCH();
}

}  // namespace sgm
