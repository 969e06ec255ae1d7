// Shift of the disparities into the configured range; invalid pixels take the
// invalid value of that range.

#include <cstdint>

#include "cuda_utils.h"
#include "launchers.h"
#include "correct_disparity_range.cuh"

namespace sgm {
namespace {

using namespace kernels;

}  // namespace

void correctDisparityRange(DeviceImage& disp, bool subpixel, int minDisparity) {
    if (!subpixel && minDisparity == 0) return;
    const int width = disp.cols, height = disp.rows;
    if (width == 0 || height == 0) return;
    const int scale = subpixel ? 16 : 1;
    const dim3 block(16, 16);
    const dim3 grid((width + 15) / 16, (height + 15) / 16);
    correct_disparity_range_kernel<<<grid, block>>>(disp.ptr<uint16_t>(), width, height, disp.step,
                                                    minDisparity * scale, (minDisparity - 1) * scale);
    SGM_CUDA_CHECK_LAUNCH();
}

}  // namespace sgm
