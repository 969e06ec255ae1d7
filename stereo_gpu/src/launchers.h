#pragma once
// Host launchers of the matcher stages. Kernels run on the default stream
// except the aggregation, which runs one stream per path and waits for them.
// Failed GPU runtime calls throw (see cuda_utils.h).

#include "device_image.h"
#include "sgm/semi_global_matcher.h"

namespace sgm {

// Re-creates dst as height x width of U64 (Census) or U32 (SymmetricCensus).
void censusTransform(const DeviceImage& src, DeviceImage& dst, CensusType type);

// Costs of every path; the image is created as (paths x height) rows of
// width x disparitySize bytes. Throws std::logic_error when the census types
// differ.
void costAggregation(const DeviceImage& censusLeft, const DeviceImage& censusRight,
                     DeviceImage& costs, int disparitySize, int P1, int P2, PathType pathType,
                     int minDisparity);

// Re-creates both disparity images as U16 with their current step when they
// are not U16 already; width and height come from them.
void winnerTakesAll(const DeviceImage& costs, DeviceImage& dispLeft, DeviceImage& dispRight,
                    int disparitySize, float uniqueness, bool subpixel, PathType pathType);

void medianFilter(const DeviceImage& src, DeviceImage& dst);

void checkConsistency(DeviceImage& dispLeft, const DeviceImage& dispRight,
                      const DeviceImage& srcLeft, bool subpixel, int lrMaxDiff);

void correctDisparityRange(DeviceImage& disp, bool subpixel, int minDisparity);

void cast16To8(const DeviceImage& src, DeviceImage& dst);

}  // namespace sgm
