#include "fw/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes the descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

bool readRegularFile(const std::string& path, std::string& out) {
    out.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer; the
    // type is then checked on what was opened, not on the name.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) return false;
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const int flags = ::fcntl(file.fd, F_GETFL);
    if (flags >= 0) ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
    if (info.st_size > 0) out.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            out.clear();
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}
