#pragma once
// What the dense stage asks of the CUDA runtime before it uses the GPU
// matcher, behind an interface so that the choice can be made without a GPU.
// Every query answers false on any error of the runtime.

#include <cstddef>
#include <memory>
#include <vector>

class GpuDevices {
public:
    virtual ~GpuDevices() = default;
    virtual bool deviceCount(int& count) = 0;
    virtual bool computeCapability(int device, int& major, int& minor) = 0;
    virtual bool driverVersion(int& version) = 0;
    virtual bool runtimeVersion(int& version) = 0;
    // Makes device the calling thread's current device.
    virtual bool selectDevice(int device) = 0;
    // Free memory of the calling thread's current device, whole MiB.
    virtual bool freeMemoryMB(size_t& mib) = 0;

    // The CUDA runtime of this build; without the toolkit, a system with no
    // device. Making it calls nothing.
    static std::shared_ptr<GpuDevices> system();
};

// Compute capabilities (major * 10 + minor) that the matcher's kernels were
// built for, as CMake's plain architecture numbers (machine code and PTX for
// each); from ZEL_CUDA_ARCHS, empty when the matcher was not built.
std::vector<int> builtKernelArchs();

// True when the kernels built for archs run on a device of this capability:
// one of them is not above it.
bool kernelImageFor(int major, int minor, const std::vector<int>& archs);

// The first device of compute capability 5.2 or higher with a kernel image,
// when driver and runtime versions are both at least 11080; -1 for none, or
// for any error of the runtime.
int usableCudaDevice(GpuDevices& devices, const std::vector<int>& archs);
inline bool isCudaDeviceUsable(GpuDevices& devices, const std::vector<int>& archs) {
    return usableCudaDevice(devices, archs) >= 0;
}

// Free memory of device in whole MiB (it becomes the calling thread's
// current device); false on any error.
bool freeGpuMemoryMB(GpuDevices& devices, int device, size_t& mib);
