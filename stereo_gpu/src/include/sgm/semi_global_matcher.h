#pragma once
// Semi-global stereo matcher on an NVIDIA GPU: census transform, path-wise
// cost aggregation, winner-takes-all with uniqueness and sub-pixel refinement,
// 3 x 3 median, left-right check and the shift into the disparity range.
// Thread rules: one matcher is used by one thread at a time; distinct matchers
// may run on distinct threads.

#include <cstdint>
#include <memory>

namespace sgm {

enum class PathType : int32_t { FourPaths = 0, EightPaths = 1 };

enum class CensusType : int32_t { Census = 0, SymmetricCensus = 1 };

// Bit 0: inputs are device memory; bit 1: the output is device memory.
enum ExecuteInOut : int32_t {
    EXECUTE_INOUT_HOST2HOST = 0,
    EXECUTE_INOUT_CUDA2HOST = 1,
    EXECUTE_INOUT_HOST2CUDA = 2,
    EXECUTE_INOUT_CUDA2CUDA = 3,
};

class SemiGlobalMatcher {
public:
    struct Parameters {
        int32_t P1 = 10;
        int32_t P2 = 120;
        float uniqueness = 0.95f;
        bool subpixel = false;
        PathType pathType = PathType::FourPaths;
        int32_t minDisparity = 0;
        int32_t lrMaxDiff = 1;
        CensusType censusType = CensusType::SymmetricCensus;
    };

    // Checks the arguments (std::logic_error with a fixed message when one is
    // out of range; nothing is allocated then) and allocates the device
    // images. A failed GPU runtime call throws std::runtime_error after its
    // "[CUDA Error]" line on standard output.
    SemiGlobalMatcher(int width, int height, int disparitySize, int inputDepthBits,
                      int outputDepthBits, ExecuteInOut inOut, const Parameters& parameters);
    virtual ~SemiGlobalMatcher();
    SemiGlobalMatcher(const SemiGlobalMatcher&) = delete;
    SemiGlobalMatcher& operator=(const SemiGlobalMatcher&) = delete;

    // Runs the pipeline once on a pair laid out width x height with pitch
    // width; pointers are host or device memory as the ExecuteInOut says.
    // The output holds 8 or 16-bit values (scaled by 16 with sub-pixel
    // refinement; invalid pixels (minDisparity - 1) x scale). A failed GPU
    // runtime call prints its "[CUDA Error]" line and throws
    // std::runtime_error; the output is then not to be used.
    void execute(const void* left, const void* right, void* output);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sgm
