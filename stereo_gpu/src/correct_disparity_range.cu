// Shift of the disparities into the configured range; invalid pixels take the
// invalid value of that range.

#include <cstdint>

#include "cuda_utils.h"
#include "launchers.h"

namespace sgm {
namespace {

__global__ void correct_disparity_range_kernel(uint16_t* disp, int width, int height, int pitch, int minDispScaled,
                                               int invalidDispScaled) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    uint16_t* p = disp + static_cast<size_t>(y) * pitch + x;
    *p = *p == 0xFFFF ? static_cast<uint16_t>(invalidDispScaled) : static_cast<uint16_t>(*p + minDispScaled);
}

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
