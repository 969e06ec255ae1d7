#pragma once
// One run of zel_mapper (or a program built from its main) on a task, with
// its standard error split into status lines, error lines and log text.

#include "testsupport/mapper_lines.h"
#include "testsupport/run_process.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace testsupport {

struct MapperRun {
    ProcessResult process;
    MapperLines lines;

    // The last status line; there must be one.
    const nlohmann::json& last() const { return lines.status.back(); }
    // The state of the last status line; 0 when there is none.
    int lastState() const;
    // Whether a log line starts with prefix.
    bool loggedStart(const std::string& prefix) const;
    // The start of the standard error, for failure messages.
    std::string head() const { return process.err.substr(0, 3000); }
};

// Runs program with "--task" and the base64 of taskText, input on its standard
// input; environment holds NAME=VALUE settings given through env(1).
MapperRun runMapper(const std::string& program, const std::string& taskText, const std::string& input = "",
                    double timeoutSeconds = 600.0, const std::vector<std::string>& environment = {});

}  // namespace testsupport
