#include "device_buffer.h"

#include <atomic>

#include <cuda_runtime.h>

#include "cuda_utils.h"

namespace sgm {
namespace {
std::atomic<size_t> allocations{0};
}  // namespace

namespace detail {
size_t deviceAllocationCount() { return allocations.load(); }
}  // namespace detail

DeviceBuffer::~DeviceBuffer() { release(); }

DeviceBuffer::DeviceBuffer(const DeviceBuffer& other)
    : data_(other.data_), refCount_(other.refCount_), capacity_(other.capacity_) {
    if (refCount_) ++*refCount_;
}

DeviceBuffer& DeviceBuffer::operator=(const DeviceBuffer& other) {
    if (this != &other) {
        if (other.refCount_) ++*other.refCount_;
        release();
        data_ = other.data_;
        refCount_ = other.refCount_;
        capacity_ = other.capacity_;
    }
    return *this;
}

void DeviceBuffer::allocate(size_t size) {
    if (data_ && size <= capacity_) return;
    release();
    void* block = nullptr;
    SGM_CUDA_CHECK(cudaMalloc(&block, size));
    ++allocations;
    data_ = block;
    refCount_ = new int(1);
    capacity_ = size;
}

void DeviceBuffer::release() {
    if (refCount_ && --*refCount_ == 0) {
        SGM_CUDA_REPORT(cudaFree(data_));
        delete refCount_;
    }
    data_ = nullptr;
    refCount_ = nullptr;
    capacity_ = 0;
}

void DeviceBuffer::wrap(void* data, size_t size) {
    release();
    data_ = data;
    capacity_ = size;
}

}  // namespace sgm
