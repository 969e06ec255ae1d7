#pragma once
// Decoding of a frame's image file with the checks made before and while the
// pixels are decoded: the main image's size, read from its header, against a
// pixel cap, and a JPEG refused when its data end before its scan is whole.

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

// Images above this many pixels are refused before decoding (real survey
// cameras reach about 100 megapixels).
constexpr int64_t kMaxImagePixels = 120000000;

// The size of the main image as its header states it, without decoding.
// JPEG: the first frame header outside the application segments (so not a
// thumbnail in the EXIF segment, nor a preview after the main image); PNG:
// its header chunk. known is false for other formats and unreadable heads.
struct ImageHeader {
    bool known = false;
    int64_t width = 0;
    int64_t height = 0;
    int channels = 0;
    int bytesPerChannel = 1;

    int64_t pixels() const { return width * height; }
    // The bytes of the decoded pixels.
    int64_t decodedBytes() const { return pixels() * channels * bytesPerChannel; }
};
ImageHeader readImageHeader(const std::string& bytes);

// Decodes the file's bytes as cv::imdecode does with IMREAD_UNCHANGED
// (8-bit JPEGs through libjpeg, as BGR or grey). Empty when the image cannot
// be decoded; also empty, with why set, when it is above kMaxImagePixels, is a
// JPEG whose data end before its scan is whole (the file ends, or a marker
// comes, too early) or one that libjpeg rejects. Bytes after a complete JPEG
// are not looked at.
cv::Mat decodeImage(const std::string& bytes, std::string& why);

// The loader's words for an image that decodeImage refused: "Failed to
// decode <path>", with ": <why>" where there is a reason.
std::string decodeFailure(const std::string& path, const std::string& why);

// Reads an image file, a regular file only, and decodes it as decodeImage
// does. Empty when it cannot be used, with why holding the loader's words:
// "Failed to open <path>" or "Failed to decode <path>[: <reason>]".
cv::Mat readImageFile(const std::string& path, std::string& why);
