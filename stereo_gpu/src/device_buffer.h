#pragma once
// One reference-counted block of device memory, or a view of memory owned by
// somebody else. Not thread-safe; owned by one matcher.

#include <cstddef>

namespace sgm {

class DeviceBuffer {
public:
    DeviceBuffer() = default;
    ~DeviceBuffer();
    DeviceBuffer(const DeviceBuffer& other);
    DeviceBuffer& operator=(const DeviceBuffer& other);

    // Keeps the block when size fits its capacity; otherwise releases it and
    // allocates exactly size bytes with a fresh count of 1.
    void allocate(size_t size);
    // Drops this reference; the block is freed with the last one.
    void release();
    // Refers to caller memory that is never freed here.
    void wrap(void* data, size_t size);

    void* data() const { return data_; }
    size_t capacity() const { return capacity_; }

private:
    void* data_ = nullptr;
    int* refCount_ = nullptr;
    size_t capacity_ = 0;
};

namespace detail {
// Device blocks allocated by every buffer of the process so far.
size_t deviceAllocationCount();
}  // namespace detail

}  // namespace sgm
