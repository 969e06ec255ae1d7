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
#include <cstring>
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

// Flushes standard output; on the first failure keeps its errno (0 when unknown).
void flushOutput(int& error) {
    errno = 0;
    std::cout.flush();
    const bool ok = std::cout.good() && std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!ok && error < 0) error = errno;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard input is already binary on POSIX.
    if (argc < 2) return 1;
    const std::string uri = zel::text::base64Decode(argv[1]);

    std::vector<uint8_t> buffer(kInputLimit, 0);
    const size_t length = readInput(buffer);

    int writeError = -1;
    {
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
        std::cout << line << '\n';
        flushOutput(writeError);
    }  // the store may print its report as it goes
    flushOutput(writeError);

    // Output that did not reach its reader (a full disk, a closed pipe) is a failure.
    if (writeError >= 0) {
        std::cerr << "image_meta: cannot write standard output"
                  << (writeError != 0 ? std::string(": ") + std::strerror(writeError) : std::string()) << std::endl;
        return 3;
    }
    return 0;
}
