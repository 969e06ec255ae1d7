// The choice of the disparity engine through the device-query seam.

#include "stereo_dense/engine_choice.h"
#include "stereo_dense/sgm_cpu.h"

#include "fw/settings.h"
#include "testsupport/captured_log.h"

#include <gtest/gtest.h>

namespace {

struct FakeDevice {
    int major = 8, minor = 6;
};

class FakeDevices : public GpuDevices {
public:
    bool countFails = false, propertiesFail = false, versionsFail = false, memoryFails = false;
    std::vector<FakeDevice> devices{FakeDevice()};
    int driver = 12040, runtime = 13000;
    size_t freeMiB = 4096;
    int calls = 0;
    int selected = -1;

    bool deviceCount(int& count) override {
        ++calls;
        count = countFails ? 0 : int(devices.size());
        return !countFails;
    }
    bool computeCapability(int device, int& major, int& minor) override {
        ++calls;
        if (propertiesFail) return false;
        major = devices[size_t(device)].major;
        minor = devices[size_t(device)].minor;
        return true;
    }
    bool driverVersion(int& v) override {
        ++calls;
        v = driver;
        return !versionsFail;
    }
    bool runtimeVersion(int& v) override {
        ++calls;
        v = runtime;
        return !versionsFail;
    }
    bool selectDevice(int device) override {
        ++calls;
        selected = device;
        return true;
    }
    bool freeMemoryMB(size_t& mib) override {
        ++calls;
        mib = freeMiB;
        return !memoryFails;
    }
};

cv::Mat noMatch(const cv::Mat&, const cv::Mat&, int, int, int) { return cv::Mat(); }

enum Engine { kGpu, kCpuNoDevice, kCpuSmallMemory };

struct Case {
    const char* name;
    void (*setUp)(FakeDevices&);
    Engine expected;
    int device;  // selected for the GPU
};

const Case kCases[] = {
    {"a good device", [](FakeDevices&) {}, kGpu, 0},
    {"no device", [](FakeDevices& d) { d.devices.clear(); }, kCpuNoDevice, -1},
    {"query error", [](FakeDevices& d) { d.countFails = true; }, kCpuNoDevice, -1},
    {"properties error", [](FakeDevices& d) { d.propertiesFail = true; }, kCpuNoDevice, -1},
    {"versions error", [](FakeDevices& d) { d.versionsFail = true; }, kCpuNoDevice, -1},
    {"memory query error", [](FakeDevices& d) { d.memoryFails = true; }, kCpuNoDevice, 0},
    {"small memory", [](FakeDevices& d) { d.freeMiB = 511; }, kCpuSmallMemory, 0},
    {"512 MiB is enough", [](FakeDevices& d) { d.freeMiB = 512; }, kGpu, 0},
    {"capability 5.0", [](FakeDevices& d) { d.devices[0] = {5, 0}; }, kCpuNoDevice, -1},
    {"capability 6.1: no kernel image", [](FakeDevices& d) { d.devices[0] = {6, 1}; }, kCpuNoDevice, -1},
    {"capability 7.2: no kernel image", [](FakeDevices& d) { d.devices[0] = {7, 2}; }, kCpuNoDevice, -1},
    {"capability 7.5", [](FakeDevices& d) { d.devices[0] = {7, 5}; }, kGpu, 0},
    {"capability 12.0", [](FakeDevices& d) { d.devices[0] = {12, 0}; }, kGpu, 0},
    {"old driver", [](FakeDevices& d) { d.driver = 11070; }, kCpuNoDevice, -1},
    {"old runtime", [](FakeDevices& d) { d.runtime = 11070; }, kCpuNoDevice, -1},
    {"second device usable", [](FakeDevices& d) { d.devices = {{6, 1}, {8, 9}}; }, kGpu, 1},
};

class EngineChoiceTest : public ::testing::Test {
protected:
    void SetUp() override { fw::Settings::instance().setvar("pointsfusion.dense_method", "3", true); }
    void TearDown() override { fw::Settings::instance().setvar("pointsfusion.dense_method", "3", true); }
    static int method() { return fw::Settings::instance().GetInt("pointsfusion.dense_method", 3); }
};

TEST_F(EngineChoiceTest, DecisionTable) {
    const std::vector<int> archs{75, 90};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        fw::Settings::instance().setvar("pointsfusion.dense_method", "3", true);
        auto devices = std::make_shared<FakeDevices>();
        c.setUp(*devices);
        testsupport::CapturedLog log;
        testing::internal::CaptureStdout();
        {
            const auto engine = chooseDisparityEngine(3, devices, archs, noMatch);
            switch (c.expected) {
            case kGpu:
                EXPECT_TRUE(std::dynamic_pointer_cast<SGM_GPU>(engine));
                EXPECT_EQ(method(), 3);
                EXPECT_EQ(devices->selected, c.device);
                break;
            case kCpuNoDevice:
                EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(engine));
                EXPECT_EQ(method(), 2);
                EXPECT_EQ(log.count("No compatible cuda device found. Use CPU method. ", fw::kInfo), 1u);
                break;
            case kCpuSmallMemory:
                EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(engine));
                EXPECT_EQ(method(), 2);
                EXPECT_EQ(log.count("GPU memory too small, which may affect the result. Use CPU method: 511 MB",
                                    fw::kInfo),
                          1u);
                EXPECT_EQ(devices->selected, c.device);
                break;
            }
        }
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(EngineChoiceTest, WithoutKernelsOrMatcherNoDeviceIsUsable) {
    auto devices = std::make_shared<FakeDevices>();
    EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(chooseDisparityEngine(3, devices, {}, noMatch)));
    EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(chooseDisparityEngine(3, devices, {75}, GpuMatcher())));
    EXPECT_EQ(method(), 2);
}

TEST_F(EngineChoiceTest, OtherMethodsNeverAskTheDevices) {
    for (int m : {0, 1, 2, 7}) {
        auto devices = std::make_shared<FakeDevices>();
        EXPECT_TRUE(std::dynamic_pointer_cast<SGM_CPU>(chooseDisparityEngine(m, devices, {75}, noMatch)));
        EXPECT_EQ(devices->calls, 0) << m;
        EXPECT_EQ(method(), 3) << "not rewritten";
    }
}

TEST(KernelImageTest, CapabilityTable) {
    const std::vector<int> archs{75, 90};
    EXPECT_FALSE(kernelImageFor(6, 1, archs));
    EXPECT_FALSE(kernelImageFor(7, 0, archs));
    EXPECT_TRUE(kernelImageFor(7, 5, archs));
    EXPECT_TRUE(kernelImageFor(8, 6, archs));
    EXPECT_TRUE(kernelImageFor(9, 0, archs));
    EXPECT_FALSE(kernelImageFor(8, 6, {}));
    EXPECT_FALSE(kernelImageFor(8, 6, {89}));
}

TEST(SystemDevicesTest, TheRuntimeQueryAnswersSoundly) {
    // No GPU on the build machines: whatever the runtime says, the answer is
    // "none" or a device that exists.
    auto devices = GpuDevices::system();
    int count = -1;
    const bool counted = devices->deviceCount(count);
    const int device = usableCudaDevice(*devices, builtKernelArchs());
    if (!counted || count == 0) {
        EXPECT_EQ(count, 0);
        EXPECT_EQ(device, -1);
    } else {
        EXPECT_LT(device, count);
    }
}

}  // namespace
