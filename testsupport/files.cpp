#include "testsupport/files.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testsupport {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (!dir.empty() && std::filesystem::exists(candidate)) return candidate.string();
    }
    return "";
}

}  // namespace testsupport
