#pragma once
// Constants shared by the matcher kernels.

#include <cstdint>

namespace sgm {
namespace kernels {

constexpr unsigned kFullMask = 0xffffffffu;
// Internal invalid value of the 16-bit disparity images.
constexpr uint16_t kInvalidDisparity = 0xFFFF;

}  // namespace kernels
}  // namespace sgm
