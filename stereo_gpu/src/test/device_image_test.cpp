// Device image bookkeeping that needs no device: views of caller memory are
// reused while they are large enough and are never freed.
#include <gtest/gtest.h>

#ifdef SGM_WITH_CUDA
#include <string>
#include <vector>

#include "device_image.h"

namespace {

TEST(SgmDeviceImageTest, WrappedMemoryIsReusedAndNeverFreed) {
    std::vector<uint16_t> caller(6 * 10);
    testing::internal::CaptureStdout();
    {
        sgm::DeviceImage image(caller.data(), 6, 10, sgm::ImageType::U16);
        EXPECT_EQ(image.step, 10);
        EXPECT_EQ(image.byteSize(), 120u);
        // Same bytes as another shape: still the caller's block, no allocation.
        const size_t before = sgm::detail::deviceAllocationCount();
        image.create(12, 10, sgm::ImageType::U8);
        image.create(5, 3, sgm::ImageType::U64, 3);
        EXPECT_EQ(image.data, caller.data());
        EXPECT_EQ(image.rows, 5);
        EXPECT_EQ(image.cols, 3);
        EXPECT_EQ(image.type, sgm::ImageType::U64);
        EXPECT_EQ(sgm::detail::deviceAllocationCount(), before);
        sgm::DeviceImage copy = image;
        EXPECT_EQ(copy.data, caller.data());
    }
    // Leaving scope freed nothing: a free of host memory would print a line.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SgmDeviceImageTest, SizesAreCountedInSixtyFourBits) {
    std::vector<uint8_t> caller(1);
    sgm::DeviceImage costs(caller.data(), 8 * 2000, 2000 * 256, sgm::ImageType::U8);
    EXPECT_EQ(costs.byteSize(), size_t(8) * 2000 * 2000 * 256);  // 8 GiB, beyond 32 bits
    EXPECT_EQ(costs.ptr<uint8_t>(8 * 2000 - 1) - costs.ptr<uint8_t>(), std::ptrdiff_t(8 * 2000 - 1) * 2000 * 256);
}

}  // namespace
#endif
