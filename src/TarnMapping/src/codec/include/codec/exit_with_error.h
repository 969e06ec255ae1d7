#pragma once

#include <nlohmann/json.hpp>

// Writes the compact error object and a line end to standard error, flushes
// the standard streams and ends the process with the status.
[[noreturn]] void exitWithError(int status, const nlohmann::json& error);

// The compact text of a value; invalid UTF-8 is replaced rather than thrown on.
std::string compactJson(const nlohmann::json& value);
