#include "stereo_dense/engine_choice.h"

#include "fw/log.h"
#include "fw/settings.h"
#include "stereo_dense/sgm_cpu.h"

std::shared_ptr<DisparityCalculator> chooseDisparityEngine(int method, const std::shared_ptr<GpuDevices>& devices,
                                                           const std::vector<int>& kernelArchs,
                                                           const GpuMatcher& matcher) {
    if (method != 3) return std::make_shared<SGM_CPU>();
    const int device = matcher && devices ? usableCudaDevice(*devices, kernelArchs) : -1;
    size_t freeMiB = 0;
    if (device >= 0 && freeGpuMemoryMB(*devices, device, freeMiB)) {
        if (freeMiB >= 512) return std::make_shared<SGM_GPU>(matcher, devices, device);
        fw::Settings::instance().setvar("pointsfusion.dense_method", "2", true);
        FW_LOG(Info) << "GPU memory too small, which may affect the result. Use CPU method: " << freeMiB << " MB";
        return std::make_shared<SGM_CPU>();
    }
    fw::Settings::instance().setvar("pointsfusion.dense_method", "2", true);
    FW_LOG(Info) << "No compatible cuda device found. Use CPU method. ";
    return std::make_shared<SGM_CPU>();
}
