#include "stereo_dense/gpu_devices.h"

#include <sstream>
#include <string>

#define ZEL_STRINGIFY_(...) #__VA_ARGS__
#define ZEL_STRINGIFY(...) ZEL_STRINGIFY_(__VA_ARGS__)

std::vector<int> builtKernelArchs() {
    std::vector<int> archs;
#ifdef ZEL_CUDA_ARCHS
    // A list such as 75;90 or 75,90.
    std::string text = ZEL_STRINGIFY(ZEL_CUDA_ARCHS);
    for (char& c : text)
        if (c == ';' || c == ',') c = ' ';
    std::istringstream in(text);
    int arch = 0;
    while (in >> arch) archs.push_back(arch);
#endif
    return archs;
}

bool kernelImageFor(int major, int minor, const std::vector<int>& archs) {
    if (major < 0 || minor < 0 || minor > 9) return false;
    const int capability = major * 10 + minor;
    for (int arch : archs)
        if (arch > 0 && arch <= capability) return true;
    return false;
}

int usableCudaDevice(GpuDevices& devices, const std::vector<int>& archs) {
    int count = 0;
    if (!devices.deviceCount(count) || count <= 0) return -1;
    int chosen = -1;
    for (int device = 0; device < count; ++device) {
        int major = 0, minor = 0;
        if (!devices.computeCapability(device, major, minor)) return -1;
        const bool recentEnough = major > 5 || (major == 5 && minor >= 2);
        if (recentEnough && kernelImageFor(major, minor, archs)) {
            chosen = device;
            break;
        }
    }
    if (chosen < 0) return -1;
    int driver = 0, runtime = 0;
    if (!devices.driverVersion(driver) || !devices.runtimeVersion(runtime)) return -1;
    if (driver < 11080 || runtime < 11080) return -1;
    return chosen;
}

bool freeGpuMemoryMB(GpuDevices& devices, int device, size_t& mib) {
    return devices.selectDevice(device) && devices.freeMemoryMB(mib);
}
