// image_meta URI: reads the head of a JPEG file on standard input and prints
// its frame record as one {"frame": ...} line on standard output.
#include "zel_text/text_codec.h"
#include "fw/settings.h"
#include "image_meta/exif.h"
#include "image_meta/frame_record.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

constexpr size_t kInputLimit = 102400;

// Reads standard input until the limit or its end; a pipe may deliver it in pieces.
size_t readInput(std::vector<uint8_t>& buffer) {
    size_t total = 0;
    while (total < buffer.size()) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data() + total, buffer.size() - total);
        if (n > 0) {
            total += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard input is already binary on POSIX.
    if (argc < 2) return 1;
    const std::string uri = zel::text::base64Decode(argv[1]);

    std::vector<uint8_t> buffer(kInputLimit, 0);
    const size_t length = readInput(buffer);

    fw::Settings store;
    EXIF exif;
    exif.parseBuffer(buffer.data(), length, store);

    std::string line;
    try {
        line = imagemeta::frameLine(imagemeta::buildFrameRecord(store, uri));
    } catch (const nlohmann::json::exception&) {
        std::cerr << "image_meta: the URI is not valid UTF-8" << std::endl;
        return 2;
    }
    std::cout << line << '\n' << std::flush;
    return 0;
}
