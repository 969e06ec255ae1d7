// Path-wise cost aggregation. A subgroup of threads walks one path; each
// thread keeps a run of consecutive disparities in registers and takes its
// neighbours' edge values and the subgroup minimum by warp shuffles.

#include <cstdint>
#include <stdexcept>

#include "cuda_utils.h"
#include "launchers.h"
#include "cost_aggregation.cuh"

namespace sgm {
namespace {

using namespace kernels;

// Streams of one aggregation, destroyed on every way out.
class PathStreams {
public:
    explicit PathStreams(int count) {
        for (int i = 0; i < count; ++i) {
            cudaStream_t s = nullptr;
            SGM_CUDA_CHECK(cudaStreamCreate(&s));
            streams_[count_++] = s;
        }
    }
    ~PathStreams() {
        for (int i = 0; i < count_; ++i) SGM_CUDA_REPORT(cudaStreamDestroy(streams_[i]));
    }
    PathStreams(const PathStreams&) = delete;
    PathStreams& operator=(const PathStreams&) = delete;
    cudaStream_t operator[](int i) const { return streams_[i]; }
    void synchronize() {
        for (int i = 0; i < count_; ++i) SGM_CUDA_CHECK(cudaStreamSynchronize(streams_[i]));
    }

private:
    cudaStream_t streams_[8] = {};
    int count_ = 0;
};

template <class C, int D>
void aggregate(const DeviceImage& left, const DeviceImage& right, DeviceImage& costs, unsigned P1,
               unsigned P2, int paths, int minDisparity) {
    const int width = left.cols, height = left.rows;
    const C* l = left.ptr<C>();
    const C* r = right.ptr<C>();
    const size_t plane = static_cast<size_t>(width) * height * D;
    uint8_t* base = costs.ptr<uint8_t>();
    PathStreams streams(paths);

    constexpr int verticalPaths = kVerticalBlock / (D / 16);
    constexpr int horizontalPaths = kHorizontalBlock / (D / 8);
    constexpr int obliquePaths = kObliqueBlock / (D / 16);
    const int verticalGrid = (width + verticalPaths - 1) / verticalPaths;
    const int horizontalGrid = (height + horizontalPaths - 1) / horizontalPaths;
    const int obliqueGrid = (width + height - 1 + obliquePaths - 1) / obliquePaths;

    aggregate_vertical_path_kernel<C, 1, D><<<verticalGrid, kVerticalBlock, 0, streams[0]>>>(
        base, l, r, width, height, P1, P2, minDisparity);
    SGM_CUDA_CHECK_LAUNCH();
    aggregate_vertical_path_kernel<C, -1, D><<<verticalGrid, kVerticalBlock, 0, streams[1]>>>(
        base + plane, l, r, width, height, P1, P2, minDisparity);
    SGM_CUDA_CHECK_LAUNCH();
    aggregate_horizontal_path_kernel<C, 1, D><<<horizontalGrid, kHorizontalBlock, 0, streams[2]>>>(
        base + 2 * plane, l, r, width, height, P1, P2, minDisparity);
    SGM_CUDA_CHECK_LAUNCH();
    aggregate_horizontal_path_kernel<C, -1, D><<<horizontalGrid, kHorizontalBlock, 0, streams[3]>>>(
        base + 3 * plane, l, r, width, height, P1, P2, minDisparity);
    SGM_CUDA_CHECK_LAUNCH();
    if (paths == 8) {
        aggregate_oblique_path_kernel<C, 1, 1, D><<<obliqueGrid, kObliqueBlock, 0, streams[4]>>>(
            base + 4 * plane, l, r, width, height, P1, P2, minDisparity);
        SGM_CUDA_CHECK_LAUNCH();
        aggregate_oblique_path_kernel<C, -1, 1, D><<<obliqueGrid, kObliqueBlock, 0, streams[5]>>>(
            base + 5 * plane, l, r, width, height, P1, P2, minDisparity);
        SGM_CUDA_CHECK_LAUNCH();
        aggregate_oblique_path_kernel<C, -1, -1, D><<<obliqueGrid, kObliqueBlock, 0, streams[6]>>>(
            base + 6 * plane, l, r, width, height, P1, P2, minDisparity);
        SGM_CUDA_CHECK_LAUNCH();
        aggregate_oblique_path_kernel<C, 1, -1, D><<<obliqueGrid, kObliqueBlock, 0, streams[7]>>>(
            base + 7 * plane, l, r, width, height, P1, P2, minDisparity);
        SGM_CUDA_CHECK_LAUNCH();
    }
    streams.synchronize();
}

}  // namespace

void costAggregation(const DeviceImage& censusLeft, const DeviceImage& censusRight, DeviceImage& costs,
                     int disparitySize, int P1, int P2, PathType pathType, int minDisparity) {
    if (censusLeft.type != censusRight.type) throw std::logic_error("left and right image type must be same.");
    const int paths = pathType == PathType::FourPaths ? 4 : 8;
    const int width = censusLeft.cols, height = censusLeft.rows;
    // Plane p starts at byte p * W * H * D; one row per image row and path.
    costs.create(paths * height, width * disparitySize, ImageType::U8);
    const unsigned p1 = static_cast<unsigned>(P1), p2 = static_cast<unsigned>(P2);
    const bool wide = censusLeft.type == ImageType::U64;
    if (!wide && censusLeft.type != ImageType::U32) return;
    switch (disparitySize) {
        case 64:
            wide ? aggregate<uint64_t, 64>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity)
                 : aggregate<uint32_t, 64>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity);
            break;
        case 128:
            wide ? aggregate<uint64_t, 128>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity)
                 : aggregate<uint32_t, 128>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity);
            break;
        case 256:
            wide ? aggregate<uint64_t, 256>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity)
                 : aggregate<uint32_t, 256>(censusLeft, censusRight, costs, p1, p2, paths, minDisparity);
            break;
        default: break;
    }
}

}  // namespace sgm
