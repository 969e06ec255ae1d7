#pragma once
// The bundled example task with its placeholders filled in, as
// scripts/run_example.sh fills them.

#include "testsupport/files.h"
#include "testsupport/program_paths.h"

#include <filesystem>
#include <string>
#include <utility>

namespace testsupport {

// The text of examples/task.json with "@HOME@" and "@FLIGHT@" replaced.
inline std::string exampleTask(const std::filesystem::path& home, const std::filesystem::path& flight) {
    std::string text = readFile(kExampleTaskPath);
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"@HOME@", home.string()},
                                     {"@FLIGHT@", flight.string()}}) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

}  // namespace testsupport
