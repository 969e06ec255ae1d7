// Census transforms: 9 x 7 window (64-bit codes) and the symmetric variant
// (32-bit codes). Each block stages a tile of 128 columns and 16 + 6 rows.

#include <cstdint>

#include "census_transform.cuh"
#include "cuda_utils.h"
#include "launchers.h"

namespace sgm {
namespace {

using namespace kernels;

template <class T>
void launchCensus(const DeviceImage& src, DeviceImage& dst, CensusType type) {
    const int width = src.cols, height = src.rows;
    const dim3 block(kBlockWidth, 1);
    const dim3 grid((width + kOutputColumns - 1) / kOutputColumns, (height + kOutputRows - 1) / kOutputRows);
    if (type == CensusType::Census)
        census_transform_kernel<T><<<grid, block>>>(dst.ptr<uint64_t>(), src.ptr<T>(), width, height, src.step);
    else
        symmetric_census_kernel<T><<<grid, block>>>(dst.ptr<uint32_t>(), src.ptr<T>(), width, height, src.step);
    SGM_CUDA_CHECK_LAUNCH();
}

}  // namespace

void censusTransform(const DeviceImage& src, DeviceImage& dst, CensusType type) {
    dst.create(src.rows, src.cols, type == CensusType::Census ? ImageType::U64 : ImageType::U32);
    switch (src.type) {
        case ImageType::U8: launchCensus<uint8_t>(src, dst, type); break;
        case ImageType::U16: launchCensus<uint16_t>(src, dst, type); break;
        case ImageType::U32: launchCensus<uint32_t>(src, dst, type); break;
        default: break;
    }
}

}  // namespace sgm
