// The device queries over the CUDA runtime.

#include "stereo_dense/gpu_devices.h"

#include <cuda_runtime_api.h>

namespace {

class CudaRuntimeDevices : public GpuDevices {
public:
    bool deviceCount(int& count) override {
        count = 0;
        if (cudaGetDeviceCount(&count) != cudaSuccess) {
            count = 0;
            cudaGetLastError();  // clears the error for later calls
            return false;
        }
        return true;
    }
    bool computeCapability(int device, int& major, int& minor) override {
        cudaDeviceProp properties{};
        if (cudaGetDeviceProperties(&properties, device) != cudaSuccess) return failed();
        major = properties.major;
        minor = properties.minor;
        return true;
    }
    bool driverVersion(int& version) override {
        version = 0;
        return cudaDriverGetVersion(&version) == cudaSuccess || failed();
    }
    bool runtimeVersion(int& version) override {
        version = 0;
        return cudaRuntimeGetVersion(&version) == cudaSuccess || failed();
    }
    bool selectDevice(int device) override { return cudaSetDevice(device) == cudaSuccess || failed(); }
    bool freeMemoryMB(size_t& mib) override {
        size_t freeBytes = 0, totalBytes = 0;
        if (cudaMemGetInfo(&freeBytes, &totalBytes) != cudaSuccess) return failed();
        mib = freeBytes >> 20;
        return true;
    }

private:
    static bool failed() {
        cudaGetLastError();
        return false;
    }
};

}  // namespace

std::shared_ptr<GpuDevices> GpuDevices::system() { return std::make_shared<CudaRuntimeDevices>(); }
