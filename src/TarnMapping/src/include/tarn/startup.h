#pragma once
// Start-up of zel_mapper: command line, task checks and the job configuration.

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarn {

// The job configuration, or the start-up error that refused the task.
struct JobConfig {
    nlohmann::json job;   // set when code is 0
    int code = 0;         // -1 to -8 when refused
    std::string message;  // the error line's "message"

    bool ok() const { return code == 0; }
    // {"code": code, "message": message}
    nlohmann::json errorLine() const { return {{"code", code}, {"message", message}}; }
};

// Reads --task/--config from the arguments (the program's path first),
// writes the start-up lines to echo (each flushed) and returns the job
// configuration or the error. Nothing is written anywhere else.
JobConfig buildJobConfig(const std::vector<std::string>& arguments, std::ostream& echo);

}  // namespace tarn
