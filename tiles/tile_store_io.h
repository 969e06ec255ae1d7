#pragma once
// Helpers shared by the tile stores and the cache (not part of the library's
// interface): whole-file reads, files replaced through a temporary name, the
// DOM and DSM images composed from a tile, and the guard of store calls.
// Their failures are a false result; where the caller's message names the
// reason, it comes back in error.

#include "fw/gimage.h"
#include "fw/log.h"
#include "tiles/terrain_fusion_tile.h"

#include <cstdint>
#include <exception>
#include <streambuf>
#include <list>
#include <string>
#include <type_traits>
#include <vector>

namespace tilestore {

// DSM cells without weight.
constexpr double kNoElevation = -1000000000.0;

// Reads a string stream over bytes without copying them.
class ByteStreamBuf : public std::streambuf {
public:
    ByteStreamBuf(const uint8_t* data, size_t size) {
        char* p = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(p, p, p + size);
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        const off_type size = egptr() - eback();
        const off_type base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? gptr() - eback() : size;
        if (off < -base || off > size - base) return pos_type(off_type(-1));
        setg(eback(), eback() + (base + off), egptr());
        return pos_type(base + off);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }
};

// Appends what is written to a byte vector (one copy, no string growth).
class ByteSink : public std::streambuf {
public:
    explicit ByteSink(std::vector<uint8_t>& out) : out_(out) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        out_.insert(out_.end(), reinterpret_cast<const uint8_t*>(s), reinterpret_cast<const uint8_t*>(s) + n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) out_.push_back(uint8_t(traits_type::to_char_type(c)));
        return traits_type::not_eof(c);
    }

private:
    std::vector<uint8_t>& out_;
};

// The tile's serial form into out (emptied first; its capacity is kept, so
// a buffer reused from tile to tile allocates once). False when the tile
// cannot be serialised.
bool serializeTile(const fw::ImageTile& tile, std::vector<uint8_t>& out);

// "x,y,z" of a key, for messages.
std::string keyText(int x, int y, int z);

// The whole file; false when it does not open or cannot be read.
bool readFile(const std::string& path, std::vector<uint8_t>& bytes);

// Writes bytes to path + ".part", then renames it over path, so path holds
// either its old content or all of the new. The folder is created when
// missing. On failure error describes it and path is unchanged.
bool writeFileReplacing(const std::string& path, const void* data, size_t size, std::string& error);

// 8-bit RGBA of the tile's BGR image: alpha 255 where the weight is above 0
// (an empty weight counts as 0 everywhere). False with error for an image
// that is not 8-bit three-channel or a weight that is not single-channel.
bool composeDomRgba(const TerrainFusionMultiTile& tile, std::vector<uint8_t>& rgba, std::string& error);

// A copy of the elevation with -1e9 where the weight, resized bilinearly to
// the elevation's size, is not above 0.
bool composeDsm(const TerrainFusionMultiTile& tile, fw::GImage& dsm, std::string& error);

// TIFF bytes of a DSM raster.
bool encodeDsmTiff(const fw::GImage& dsm, std::vector<uint8_t>& bytes, std::string& error);

// The DOM image of a PNG written by PngCodec: 8-bit BGR. False with error.
bool decodeDomPng(const std::vector<uint8_t>& png, fw::GImage& bgr, std::string& error);

// The DSM raster of a TIFF as stored (depth and channels kept). False with error.
bool decodeDsmTiff(const std::vector<uint8_t>& tiff, fw::GImage& dsm, std::string& error);

// Sums of sample durations as the timing reports print them: each sample
// truncated to microseconds, summed, the sum truncated to milliseconds.
std::vector<int64_t> sumMilliseconds(const std::list<std::vector<int64_t>>& samples, size_t fields);

// work's result; an exception derived from std::exception that it throws is
// logged as an ERROR "<context()>: <what>" and gives failure instead (others
// go on to the caller). context is called only then.
template <typename Work, typename Context>
std::invoke_result_t<Work&> logExceptions(Work&& work, std::invoke_result_t<Work&> failure, Context&& context) {
    try {
        return work();
    } catch (const std::exception& e) {
        FW_LOG(Error) << context() << ": " << e.what();
        return failure;
    }
}

}  // namespace tilestore
