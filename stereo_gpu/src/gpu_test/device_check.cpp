// The dense stage's own device query decides whether the device tests run.
#include "device_test_support.h"

#include "stereo_dense/gpu_devices.h"

#include <memory>

namespace sgmtest {

std::string noUsableDeviceReason() {
    static const std::string reason = [] {
        const std::shared_ptr<GpuDevices> devices = GpuDevices::system();
        int count = 0;
        if (!devices->deviceCount(count))
            return std::string("no usable CUDA device: the CUDA runtime answers no device count (no driver or no GPU)");
        if (count <= 0) return std::string("no usable CUDA device: the CUDA runtime sees no device");
        if (usableCudaDevice(*devices, builtKernelArchs()) < 0)
            return "no usable CUDA device: none of the " + std::to_string(count) +
                   " devices has compute capability 5.2 or higher with a kernel image of this build, "
                   "or the driver or runtime is older than CUDA 11.8";
        return std::string();
    }();
    return reason;
}

void DeviceTest::SetUp() {
    const std::string reason = noUsableDeviceReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
}

}  // namespace sgmtest
