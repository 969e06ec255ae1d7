#pragma once
// Node configurations for the terrain fusion tests.

#include <string>

#include <nlohmann/json.hpp>

namespace tftest {

// A "legacy_tf" configuration in workDir; specific holds node settings.
inline nlohmann::json config(const std::string& workDir, const nlohmann::json& specific = nlohmann::json::object(),
                             int storage = 1) {
    nlohmann::json c;
    c["work_dir"] = workDir;
    c["dom"] = {{"tiling", {{"storage", storage}}}};
    c["dsm"] = nlohmann::json::object();
    c["specific"] = specific;
    return c;
}

}  // namespace tftest
