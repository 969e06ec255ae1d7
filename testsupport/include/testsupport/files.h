#pragma once
// Small file helpers of the tests.

#include <filesystem>
#include <string>

namespace testsupport {

// A file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// The first file named name in a folder of PATH; "" when there is none.
std::string findOnPath(const std::string& name);

}  // namespace testsupport
