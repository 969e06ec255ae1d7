#pragma once
// Image value: a small header (size, OpenCV type code, pixel pointer) and a
// shared holder that keeps the pixels alive. Copies share the pixels.

#include "dv/var.h"

#include <opencv2/core/mat.hpp>

#include <cstdint>

namespace fw {

class GImage {
public:
    // Owns one 16-byte aligned pixel buffer; the address of the allocated
    // block is stored in the 8 bytes before the pixels.
    class DefaultHolder {
    public:
        explicit DefaultHolder(unsigned char* aligned) : data(aligned) {}
        ~DefaultHolder();
        DefaultHolder(const DefaultHolder&) = delete;
        DefaultHolder& operator=(const DefaultHolder&) = delete;

        // Allocates byteSize bytes; null when the allocation fails.
        static unsigned char* allocate(int64_t byteSize);

        unsigned char* data;
    };

    // Empty image.
    GImage();
    // Without data, or with copy set, allocates an owned buffer (nothing when
    // the byte size is below 1) and copies data into it when given; with data
    // and copy clear the image points at the caller's pixels without owning them.
    GImage(int rows, int cols, int type, unsigned char* data = nullptr, bool copy = false);
    // Shares the pixels of m and keeps m in the holder; a non-continuous m is
    // made continuous first.
    explicit GImage(const cv::Mat& m);

    // A matrix over the same pixels; empty for an empty image.
    operator cv::Mat() const;

    // Bytes per element, from OpenCV's table of type codes.
    int elemSize() const;
    // elemSize x cols x rows, in 64 bits.
    int64_t byteSize() const;
    bool empty() const { return data == nullptr; }

    int32_t cols = 0;
    int32_t rows = 0;
    int32_t type = 0;
    unsigned char* data = nullptr;
    dv::Var holder;
};

}  // namespace fw
