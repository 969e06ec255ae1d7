#pragma once
// Start-up of zel_mapper: command line, task checks and the job configuration.

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarn {

// The start-up error that refused the task.
struct StartupError {
    int code = 0;         // -1 to -8
    std::string message;  // the error line's "message"

    // {"code": code, "message": message}
    nlohmann::json errorLine() const { return {{"code", code}, {"message", message}}; }
};

// Reads --task/--config from the arguments (the program's path first),
// writes the start-up lines to echo (each flushed) and sets job to the job
// configuration; false, with the refusal in error, when the task is refused.
// Nothing is written anywhere else.
bool buildJobConfig(const std::vector<std::string>& arguments, std::ostream& echo, nlohmann::json& job,
                    StartupError& error);

}  // namespace tarn
