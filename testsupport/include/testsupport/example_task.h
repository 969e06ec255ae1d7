#pragma once
// Reading test files whole, and the bundled example task with its
// placeholders filled in, as scripts/run_example.sh fills them.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace testsupport {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The task text at taskPath with "@HOME@" and "@FLIGHT@" replaced.
inline std::string exampleTask(const std::filesystem::path& taskPath, const std::filesystem::path& home,
                               const std::filesystem::path& flight) {
    std::string text = readFile(taskPath);
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"@HOME@", home.string()},
                                     {"@FLIGHT@", flight.string()}}) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

}  // namespace testsupport
