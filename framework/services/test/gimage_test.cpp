#include "fw/gimage.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstring>

namespace {

using Owner = std::shared_ptr<fw::GImage::DefaultHolder>;

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

TEST(GImage, EmptyAndZeroSizedImagesOwnNothing) {
    const fw::GImage empty;
    EXPECT_EQ(empty.cols, 0);
    EXPECT_EQ(empty.rows, 0);
    EXPECT_EQ(empty.type, 0);
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_TRUE(empty.holder.isUndefined());
    EXPECT_TRUE(cv::Mat(empty).empty());

    const fw::GImage zero(0, 0, 0, nullptr, true);
    EXPECT_EQ(zero.data, nullptr);
    EXPECT_TRUE(zero.holder.isUndefined());

    // Sizes are kept when nothing is allocated; negative sizes allocate nothing.
    const fw::GImage noCols(5, 0, CV_8UC3);
    EXPECT_EQ(noCols.rows, 5);
    EXPECT_EQ(noCols.data, nullptr);
    const fw::GImage negative(-2, -3, CV_8UC1);
    EXPECT_EQ(negative.data, nullptr);
    EXPECT_TRUE(cv::Mat(negative).empty());
}

TEST(GImage, OwnedBufferIsAlignedAndRemembersItsBlock) {
    for (int type : {CV_8UC1, CV_8UC3, CV_32FC1, CV_64FC4}) {
        for (int cols : {1, 3, 7, 640}) {
            fw::GImage img(2, cols, type, nullptr, true);
            ASSERT_NE(img.data, nullptr);
            EXPECT_EQ(address(img.data) % 16, 0u);
            EXPECT_TRUE(img.holder.holds<Owner>());
            void* block = nullptr;
            std::memcpy(&block, img.data - 8, sizeof(block));
            // The pixels start 8 to 23 bytes into the block.
            EXPECT_GE(address(img.data) - address(block), 8u);
            EXPECT_LE(address(img.data) - address(block), 23u);
            // Every byte is writable (AddressSanitizer checks the bounds).
            std::memset(img.data, 0xab, size_t(img.byteSize()));
        }
    }
    fw::GImage rgb(2, 3, 16, nullptr, true);
    EXPECT_EQ(rgb.byteSize(), 18);
    EXPECT_EQ(rgb.elemSize(), 3);
}

TEST(GImage, CopyFlagCopiesAndClearFlagWraps) {
    unsigned char pixels[6] = {1, 2, 3, 4, 5, 6};

    fw::GImage wrapped(2, 3, CV_8UC1, pixels, false);
    EXPECT_EQ(wrapped.data, pixels);
    EXPECT_TRUE(wrapped.holder.isUndefined());
    cv::Mat m = wrapped;
    EXPECT_EQ(m.rows, 2);
    EXPECT_EQ(m.cols, 3);
    EXPECT_EQ(m.type(), CV_8UC1);
    EXPECT_EQ(m.data, pixels);

    fw::GImage copied(2, 3, CV_8UC1, pixels, true);
    ASSERT_NE(copied.data, pixels);
    EXPECT_EQ(std::memcmp(copied.data, pixels, 6), 0);
    pixels[0] = 99;
    EXPECT_EQ(copied.data[0], 1);
    const cv::Mat c = copied;
    EXPECT_EQ(c.data, copied.data);  // a header over the owned pixels, not a copy
    EXPECT_EQ(c.at<unsigned char>(1, 2), 6);

    // A row view over the owned buffer.
    const fw::GImage row(1, 3, CV_8UC1, copied.data + 3, false);
    EXPECT_EQ(row.data[0], 4);
}

TEST(GImage, CopiesSharePixelsThatOutliveTheOriginal) {
    fw::GImage copy;
    {
        fw::GImage original(4, 4, CV_8UC1);
        std::memset(original.data, 7, 16);
        copy = original;
        EXPECT_EQ(copy.data, original.data);
        EXPECT_TRUE(copy.holder == original.holder);
        original.data[5] = 42;
    }
    // The original is gone; the buffer lives on in the copy's holder.
    EXPECT_EQ(copy.data[5], 42);
    EXPECT_EQ(copy.data[15], 7);
}

TEST(GImage, FromMatSharesPixelsBothWays) {
    cv::Mat m(3, 5, CV_32FC3, cv::Scalar(1, 2, 3));
    const fw::GImage img(m);
    EXPECT_EQ(img.rows, 3);
    EXPECT_EQ(img.cols, 5);
    EXPECT_EQ(img.type, CV_32FC3);
    EXPECT_EQ(img.data, m.data);
    EXPECT_TRUE(img.holder.holds<cv::Mat>());

    cv::Mat back = img;
    EXPECT_EQ(back.data, m.data);
    back.at<cv::Vec3f>(2, 4)[1] = 9.5f;
    EXPECT_EQ(m.at<cv::Vec3f>(2, 4)[1], 9.5f);

    // The image keeps the pixels alive after every outside Mat is gone.
    const unsigned char* pixels = m.data;
    m.release();
    back.release();
    const cv::Mat again = img;
    EXPECT_EQ(again.data, pixels);
    EXPECT_EQ(again.at<cv::Vec3f>(2, 4)[1], 9.5f);
}

TEST(GImage, NonContinuousMatIsMadeContinuous) {
    cv::Mat big(10, 10, CV_16UC1);
    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < 10; ++c) big.at<uint16_t>(r, c) = uint16_t(r * 100 + c);
    const cv::Mat roi = big(cv::Rect(2, 3, 4, 5));
    ASSERT_FALSE(roi.isContinuous());
    const fw::GImage img(roi);
    EXPECT_EQ(img.rows, 5);
    EXPECT_EQ(img.cols, 4);
    // The rows follow each other with no gap.
    const uint16_t* p = reinterpret_cast<const uint16_t*>(img.data);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(p[r * 4 + c], (r + 3) * 100 + c + 2);
    const cv::Mat back = img;
    EXPECT_TRUE(back.isContinuous());
    EXPECT_EQ(back.data, img.data);
}

TEST(GImage, ElementSizesFollowOpenCV) {
    // OpenCV's own element size is the reference (a half float is 2 bytes).
    for (int type : {CV_8UC1, CV_8SC2, CV_16UC3, CV_16SC4, CV_32SC1, CV_32FC1, CV_32FC3, CV_64FC1,
                     CV_64FC3, CV_16FC1, CV_16FC3, CV_8UC(10)}) {
        const fw::GImage img(1, 1, type, nullptr, true);
        EXPECT_EQ(img.elemSize(), int(cv::Mat(1, 1, type).elemSize())) << type;
    }
    EXPECT_EQ(fw::GImage(1, 1, 5, nullptr, true).elemSize(), 4);
    EXPECT_EQ(fw::GImage(1, 1, 21, nullptr, true).elemSize(), 12);
}

TEST(GImage, ByteSizesAreSixtyFourBit) {
    unsigned char dummy = 0;
    // 50000 x 50000 x 32 bytes: beyond 32 bits.
    const fw::GImage big(50000, 50000, CV_64FC4, &dummy, false);
    EXPECT_EQ(big.byteSize(), int64_t(50000) * 50000 * 32);
    // A size beyond any address space is refused: zero size, no data.
    const fw::GImage huge(2147483647, 2147483647, CV_64FC(512), nullptr, true);
    EXPECT_EQ(huge.data, nullptr);
    EXPECT_EQ(huge.rows, 0);
    EXPECT_EQ(huge.cols, 0);
    EXPECT_TRUE(huge.holder.isUndefined());
}
