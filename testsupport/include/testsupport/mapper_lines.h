#pragma once
// zel_mapper's standard error split into status lines, error lines and log text.

#include "testsupport/run_process.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace testsupport {

struct MapperLines {
    std::vector<nlohmann::json> status;  // {"output", "progress", "state"} lines in order
    std::vector<nlohmann::json> errors;  // {"code", "message"} lines in order
    std::vector<std::string> text;       // everything else (log records)
};

inline MapperLines parseMapperLines(const std::string& err) {
    MapperLines lines;
    for (const auto& line : splitLines(err)) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.contains("state"))
            lines.status.push_back(j);
        else if (j.is_object() && j.contains("code"))
            lines.errors.push_back(j);
        else
            lines.text.push_back(line);
    }
    return lines;
}

}  // namespace testsupport
