#include "fw/gimage.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace fw {

namespace {

int64_t elemSizeOf(int type) { return CV_ELEM_SIZE(type & CV_MAT_TYPE_MASK); }

}  // namespace

GImage::DefaultHolder::~DefaultHolder() {
    if (!data) return;
    void* block = nullptr;
    std::memcpy(&block, data - sizeof(block), sizeof(block));
    std::free(block);
}

unsigned char* GImage::DefaultHolder::allocate(int64_t byteSize) {
    constexpr int64_t kExtra = 24;
    // Beyond any address space: refused without asking the allocator.
    constexpr int64_t kLargest = int64_t(1) << 48;
    if (byteSize < 1 || byteSize > kLargest) return nullptr;
    void* block = std::malloc(size_t(byteSize) + kExtra);
    if (!block) return nullptr;
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(block) + 23) & ~uintptr_t(15);
    unsigned char* pixels = reinterpret_cast<unsigned char*>(aligned);
    std::memcpy(pixels - sizeof(block), &block, sizeof(block));
    return pixels;
}

GImage::GImage() = default;

GImage::GImage(int rows_, int cols_, int type_, unsigned char* source, bool copy)
    : cols(cols_), rows(rows_), type(type_) {
    if (source && !copy) {
        data = source;
        return;
    }
    const int64_t bytes = byteSize();
    if (bytes < 1 || rows < 0 || cols < 0) return;
    // The holder first, so that a failure to make it leaks no block.
    auto owner = std::make_shared<DefaultHolder>(nullptr);
    owner->data = DefaultHolder::allocate(bytes);
    if (!owner->data) {
        cols = rows = 0;
        return;
    }
    data = owner->data;
    holder = dv::Var(owner);
    if (source) std::memcpy(data, source, size_t(bytes));
}

GImage::GImage(const cv::Mat& m) {
    const cv::Mat held = m.isContinuous() ? m : m.clone();
    cols = held.cols;
    rows = held.rows;
    type = held.flags & 0xfff;
    data = held.data;
    holder = dv::Var(held);
}

GImage::operator cv::Mat() const {
    if (holder.holds<cv::Mat>()) return holder.typedRef<cv::Mat>();
    if (data && rows > 0 && cols > 0) return cv::Mat(rows, cols, type, data);
    return cv::Mat();
}

int GImage::elemSize() const { return int(elemSizeOf(type)); }

int64_t GImage::byteSize() const {
    // Saturates instead of overflowing: such a size then fails to allocate.
    const int64_t elements = int64_t(cols) * int64_t(rows);
    const int64_t elem = elemSizeOf(type);
    if (elements != 0 && std::abs(elements) > std::numeric_limits<int64_t>::max() / elem)
        return elements > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return elem * elements;
}

}  // namespace fw
