// A build without the CUDA toolkit: a system with no device.

#include "stereo_dense/gpu_devices.h"

namespace {

class NoCudaDevices : public GpuDevices {
public:
    bool deviceCount(int& count) override {
        count = 0;
        return true;
    }
    bool computeCapability(int, int&, int&) override { return false; }
    bool driverVersion(int&) override { return false; }
    bool runtimeVersion(int&) override { return false; }
    bool selectDevice(int) override { return false; }
    bool freeMemoryMB(size_t&) override { return false; }
};

}  // namespace

std::shared_ptr<GpuDevices> GpuDevices::system() { return std::make_shared<NoCudaDevices>(); }
