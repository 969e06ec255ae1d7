#include "fw/image_decoding.h"

#include "fw/regular_file.h"

#include <csetjmp>
#include <cstdio>
#include <limits>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>
#include <opencv2/imgcodecs.hpp>

namespace {

bool isJpeg(const std::string& b) {
    return b.size() >= 3 && static_cast<unsigned char>(b[0]) == 0xFF && static_cast<unsigned char>(b[1]) == 0xD8 &&
           static_cast<unsigned char>(b[2]) == 0xFF;
}

bool isPng(const std::string& b) { return b.size() >= 8 && b.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0; }

uint32_t bigEndian32(const std::string& b, size_t at) {
    return (uint32_t(static_cast<unsigned char>(b[at])) << 24) | (uint32_t(static_cast<unsigned char>(b[at + 1])) << 16) |
           (uint32_t(static_cast<unsigned char>(b[at + 2])) << 8) | uint32_t(static_cast<unsigned char>(b[at + 3]));
}

ImageHeader pngHeader(const std::string& b) {
    ImageHeader h;
    if (b.size() < 26 || b.compare(12, 4, "IHDR") != 0) return h;
    h.width = bigEndian32(b, 16);
    h.height = bigEndian32(b, 20);
    const int depth = static_cast<unsigned char>(b[24]);
    const int colour = static_cast<unsigned char>(b[25]);
    h.channels = colour == 0 ? 1 : colour == 4 ? 2 : colour == 6 ? 4 : 3;
    h.bytesPerChannel = depth == 16 ? 2 : 1;
    h.known = true;
    return h;
}

// libjpeg's error manager: errors jump back, the premature-end warnings are noted.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    bool endedEarly = false;
    char message[JMSG_LENGTH_MAX] = {};
};

void jpegError(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    // The file ends, or a marker comes, before the scan has all its data.
    const int code = info->err->msg_code;
    if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)) errors->endedEarly = true;
}

// The state of one JPEG read, kept off the stack frame that setjmp returns to.
struct JpegRead {
    jpeg_decompress_struct info{};
    JpegErrors errors;
    cv::Mat image;
    bool created = false;

    ~JpegRead() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

enum class JpegResult { Decoded, Refused, OtherColours };

// Reads the header only (decode false) or the whole image; no C++ object is
// made or destroyed between setjmp and the jumps back to it.
JpegResult readJpeg(const std::string& bytes, JpegRead& read, ImageHeader& header, bool decode, std::string& why) {
    read.info.err = jpeg_std_error(&read.errors.manager);
    read.errors.manager.error_exit = jpegError;
    read.errors.manager.emit_message = jpegMessage;
    if (setjmp(read.errors.jump)) {
        why = read.errors.message;
        return JpegResult::Refused;
    }
    jpeg_create_decompress(&read.info);
    read.created = true;
    jpeg_mem_src(&read.info, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&read.info, TRUE);
    header.known = true;
    header.width = read.info.image_width;
    header.height = read.info.image_height;
    header.channels = read.info.num_components;
    if (!decode) return JpegResult::Decoded;
    if (header.pixels() > kMaxImagePixels) return JpegResult::Refused;
    if (read.info.num_components == 1) {
        read.info.out_color_space = JCS_GRAYSCALE;
    } else if (read.info.num_components == 3) {
        read.info.out_color_space = JCS_EXT_BGR;
    } else {
        return JpegResult::OtherColours;
    }
    jpeg_start_decompress(&read.info);
    read.image.create(static_cast<int>(read.info.output_height), static_cast<int>(read.info.output_width),
                      read.info.output_components == 1 ? CV_8UC1 : CV_8UC3);
    while (read.info.output_scanline < read.info.output_height) {
        JSAMPROW row = read.image.ptr(static_cast<int>(read.info.output_scanline));
        jpeg_read_scanlines(&read.info, &row, 1);
    }
    jpeg_finish_decompress(&read.info);
    return JpegResult::Decoded;
}

std::string capText(const ImageHeader& h) {
    return std::to_string(h.width) + " x " + std::to_string(h.height) + " pixels, above the cap of " +
           std::to_string(kMaxImagePixels) + " pixels";
}

}  // namespace

ImageHeader readImageHeader(const std::string& bytes) {
    if (isPng(bytes)) return pngHeader(bytes);
    ImageHeader header;
    if (!isJpeg(bytes)) return header;
    auto read = std::make_unique<JpegRead>();
    std::string why;
    if (readJpeg(bytes, *read, header, false, why) != JpegResult::Decoded) header.known = false;
    return header;
}

cv::Mat decodeImage(const std::string& bytes, std::string& why) {
    if (bytes.empty() || bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return cv::Mat();
    }
    if (isJpeg(bytes)) {
        auto read = std::make_unique<JpegRead>();
        ImageHeader header;
        const JpegResult result = readJpeg(bytes, *read, header, true, why);
        if (header.known && header.pixels() > kMaxImagePixels) {
            why = capText(header);
            return cv::Mat();
        }
        if (result == JpegResult::Refused) return cv::Mat();
        if (result == JpegResult::Decoded) {
            if (read->errors.endedEarly) {
                why = "the image data ends before its last scan";
                return cv::Mat();
            }
            return read->image;
        }
        // CMYK and other layouts: OpenCV's own conversion, below.
    } else if (isPng(bytes)) {
        const ImageHeader header = pngHeader(bytes);
        if (header.known && header.pixels() > kMaxImagePixels) {
            why = capText(header);
            return cv::Mat();
        }
    }
    // imdecode only reads the buffer.
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
    return cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
}

std::string decodeFailure(const std::string& path, const std::string& why) {
    return "Failed to decode " + path + (why.empty() ? "" : ": ") + why;
}

cv::Mat readImageFile(const std::string& path, std::string& why) {
    std::string bytes;
    if (!readRegularFile(path, bytes)) {
        why = "Failed to open " + path;
        return cv::Mat();
    }
    std::string reason;
    cv::Mat decoded = decodeImage(bytes, reason);
    if (decoded.empty()) why = decodeFailure(path, reason);
    return decoded;
}
