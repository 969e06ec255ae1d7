#pragma once
// Blocks of the tiles' serial forms: raw little-endian values one after the
// other, no magic, no version, no length of the whole.
//   image block:   int32 cols, int32 rows, int32 type, then the pixels
//                  (cols * rows * element size bytes, rows without gaps);
//   pyramid block: int64 count, then that many image blocks.
// Readers compute sizes in 64 bits, refuse negative sizes and sizes beyond
// the bytes the stream still holds, and never read past its end. A refused
// or short field leaves its target as it was and sets failbit, so every read
// after it does nothing; the caller checks the stream.

#include "fw/gimage.h"
#include "tiles/tile_key.h"

#include <cstdint>
#include <iosfwd>
#include <vector>

namespace tileserial {

// Element size of a type code as the serial forms count it:
// ((t >> 3) + 1) << ((t >> 1) & 3). May be 0 or negative for negative codes.
int64_t elemSize(int32_t type);
// cols * rows * elemSize(type) in 64 bits; -1 when a dimension is negative
// or the product does not fit.
int64_t imageBytes(const fw::GImage& image);
// Whether the image block of this image can be written: a block with pixels
// needs pixels behind its data pointer and a type code whose serial element
// size is the image's own (OpenCV's), so that no byte past the buffer is read.
bool writable(const fw::GImage& image);

void writeInt32(std::ostream& out, int32_t v);
void writeInt64(std::ostream& out, int64_t v);
void writeDouble(std::ostream& out, double v);
void writeKey(std::ostream& out, const TileKey& key);
// Nothing is written for an image that is not writable; false then.
bool writeImage(std::ostream& out, const fw::GImage& image);
bool writePyramid(std::ostream& out, const std::vector<fw::GImage>& images);

// Each reader returns whether its whole field arrived and was accepted.
bool readInt32(std::istream& in, int32_t& v);
bool readInt64(std::istream& in, int64_t& v);
bool readDouble(std::istream& in, double& v);
bool readKey(std::istream& in, TileKey& key);
// The image read owns its pixels (a 16-byte aligned buffer).
bool readImage(std::istream& in, fw::GImage& image);
// After a valid count the vector holds the images that arrived whole, in
// order: all of them unless the stream ended early.
bool readPyramid(std::istream& in, std::vector<fw::GImage>& images);

// Bytes from the read position to the end; -1 when the stream cannot tell
// (not seekable). The stream's position and state are kept.
int64_t bytesLeft(std::istream& in);

}  // namespace tileserial
