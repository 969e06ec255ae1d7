#pragma once
// The compact JSON text of the driver and the one exit path for fatal errors.

#include <string>

#include <nlohmann/json.hpp>

namespace zel::text {

// Writes the compact error object and a line end to standard error, flushes
// the standard streams and ends the process with the status.
[[noreturn]] void exitWithError(int status, const nlohmann::json& error);

// The compact text of a value; invalid UTF-8 is replaced rather than thrown on.
std::string compactJson(const nlohmann::json& value);

}  // namespace zel::text
