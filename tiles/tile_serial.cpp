#include "tiles/tile_serial.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

namespace tileserial {

namespace {

constexpr int64_t kImageHeaderBytes = 12;
// Unknown stream length: pixels are taken in steps of this many bytes, so
// memory grows only with what actually arrives.
constexpr int64_t kReadStep = int64_t(1) << 20;

void putLE(std::ostream& out, uint64_t v, int bytes) {
    char buf[8];
    for (int i = 0; i < bytes; ++i) buf[i] = static_cast<char>((v >> (8 * i)) & 0xffu);
    out.write(buf, bytes);
}

// Reads exactly n (at most 8) bytes; on a short read sets failbit.
bool getLE(std::istream& in, uint64_t& v, int n) {
    unsigned char buf[8];
    if (!in.read(reinterpret_cast<char*>(buf), n)) {
        in.setstate(std::ios::failbit);
        return false;
    }
    v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t(buf[i]) << (8 * i);
    return true;
}

bool refuse(std::istream& in) {
    in.setstate(std::ios::failbit);
    return false;
}

}  // namespace

int64_t elemSize(int32_t type) { return int64_t((type >> 3) + 1) << ((type >> 1) & 3); }

int64_t imageBytes(const fw::GImage& image) {
    if (image.cols < 0 || image.rows < 0) return -1;
    const int64_t elements = int64_t(image.cols) * int64_t(image.rows);  // below 2^62
    if (elements == 0) return 0;
    const int64_t elem = elemSize(image.type);
    if (elem < 0 || elem > std::numeric_limits<int64_t>::max() / elements) return -1;
    return elements * elem;
}

bool writable(const fw::GImage& image) {
    const int64_t bytes = imageBytes(image);
    if (bytes < 0) return false;
    if (bytes == 0) return true;
    return image.data != nullptr && elemSize(image.type) == image.elemSize();
}

void writeInt32(std::ostream& out, int32_t v) { putLE(out, static_cast<uint32_t>(v), 4); }
void writeInt64(std::ostream& out, int64_t v) { putLE(out, static_cast<uint64_t>(v), 8); }

void writeDouble(std::ostream& out, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    putLE(out, bits, 8);
}

void writeKey(std::ostream& out, const TileKey& key) {
    writeInt32(out, key.x);
    writeInt32(out, key.y);
    writeInt32(out, key.z);
}

bool writeImage(std::ostream& out, const fw::GImage& image) {
    if (!writable(image)) return false;
    writeInt32(out, image.cols);
    writeInt32(out, image.rows);
    writeInt32(out, image.type);
    const int64_t bytes = imageBytes(image);
    if (bytes > 0) out.write(reinterpret_cast<const char*>(image.data), static_cast<std::streamsize>(bytes));
    return true;
}

bool writePyramid(std::ostream& out, const std::vector<fw::GImage>& images) {
    for (const fw::GImage& image : images) {
        if (!writable(image)) return false;
    }
    writeInt64(out, static_cast<int64_t>(images.size()));
    for (const fw::GImage& image : images) writeImage(out, image);
    return true;
}

bool readInt32(std::istream& in, int32_t& v) {
    uint64_t bits = 0;
    if (!getLE(in, bits, 4)) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(bits));
    return true;
}

bool readInt64(std::istream& in, int64_t& v) {
    uint64_t bits = 0;
    if (!getLE(in, bits, 8)) return false;
    v = static_cast<int64_t>(bits);
    return true;
}

bool readDouble(std::istream& in, double& v) {
    uint64_t bits = 0;
    if (!getLE(in, bits, 8)) return false;
    std::memcpy(&v, &bits, sizeof v);
    return true;
}

bool readKey(std::istream& in, TileKey& key) {
    TileKey k;
    if (!readInt32(in, k.x) || !readInt32(in, k.y) || !readInt32(in, k.z)) return false;
    key = k;
    return true;
}

int64_t bytesLeft(std::istream& in) {
    if (!in.good()) return in.eof() ? 0 : -1;
    const std::streampos here = in.tellg();
    if (here == std::streampos(-1)) return -1;
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    in.clear();
    in.seekg(here);
    if (!in || end == std::streampos(-1)) {
        in.clear();
        return -1;
    }
    return std::max<int64_t>(0, static_cast<int64_t>(end - here));
}

bool readImage(std::istream& in, fw::GImage& image) {
    int32_t header[3];
    for (int32_t& field : header) {
        if (!readInt32(in, field)) return false;
    }
    fw::GImage read;
    read.cols = header[0];
    read.rows = header[1];
    read.type = header[2];
    const int64_t bytes = imageBytes(read);
    if (bytes < 0) return refuse(in);
    if (bytes == 0) {
        image = read;
        return true;
    }
    if (elemSize(read.type) != read.elemSize()) return refuse(in);
    const int64_t left = bytesLeft(in);
    if (left >= 0) {
        if (bytes > left) return refuse(in);
        fw::GImage owned(read.rows, read.cols, read.type);
        if (!owned.data) return refuse(in);
        if (!in.read(reinterpret_cast<char*>(owned.data), static_cast<std::streamsize>(bytes))) return refuse(in);
        image = owned;
        return true;
    }
    // Unknown length: take the pixels step by step before allocating the image.
    std::vector<unsigned char> pixels;
    while (int64_t(pixels.size()) < bytes) {
        const int64_t step = std::min(kReadStep, bytes - int64_t(pixels.size()));
        const size_t at = pixels.size();
        pixels.resize(at + size_t(step));
        if (!in.read(reinterpret_cast<char*>(pixels.data() + at), static_cast<std::streamsize>(step))) {
            return refuse(in);
        }
    }
    fw::GImage owned(read.rows, read.cols, read.type, pixels.data(), true);
    if (!owned.data) return refuse(in);
    image = owned;
    return true;
}

bool readPyramid(std::istream& in, std::vector<fw::GImage>& images) {
    int64_t count = 0;
    if (!readInt64(in, count)) return false;
    if (count < 0) return refuse(in);
    const int64_t left = bytesLeft(in);
    if (left >= 0 && count > left / kImageHeaderBytes) return refuse(in);
    std::vector<fw::GImage> read;
    if (left >= 0) read.reserve(size_t(count));
    bool whole = true;
    for (int64_t i = 0; i < count; ++i) {
        fw::GImage image;
        if (!readImage(in, image)) {
            whole = false;
            break;
        }
        read.push_back(image);
    }
    images = std::move(read);
    return whole;
}

}  // namespace tileserial
