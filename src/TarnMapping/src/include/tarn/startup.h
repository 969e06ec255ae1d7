#pragma once
// Start-up of zel_mapper: command line, task checks and the job configuration.

#include <nlohmann/json.hpp>

namespace tarn {

// Reads --task/--config, echoes the start-up lines on standard output and
// returns the job configuration. A task error writes its error line and ends
// the process (exit status 0).
nlohmann::json buildJobConfig(int argc, const char* const* argv);

}  // namespace tarn
