#pragma once
// Checks of GPU runtime results and the shared cast launcher.

#include <cuda_runtime.h>

namespace sgm {
namespace detail {

// Prints "[CUDA Error] <text> (code: <n>) at <file>:<line>" on standard output
// when err is not cudaSuccess, then throws std::runtime_error with that text.
void checkCuda(cudaError_t err, const char* file, int line);

// The same line without the exception, for release paths (destructors).
// Returns false on failure.
bool reportCuda(cudaError_t err, const char* file, int line) noexcept;

}  // namespace detail
}  // namespace sgm

#define SGM_CUDA_CHECK(call) ::sgm::detail::checkCuda((call), __FILE__, __LINE__)
#define SGM_CUDA_REPORT(call) ::sgm::detail::reportCuda((call), __FILE__, __LINE__)
// After a kernel launch: the launch error state.
#define SGM_CUDA_CHECK_LAUNCH() ::sgm::detail::checkCuda(cudaGetLastError(), __FILE__, __LINE__)
