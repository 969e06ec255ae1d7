#pragma once
// Reads a metadata store in the tests: a sentinel default tells an absent key.

#include "fw/settings.h"

#include <optional>
#include <string>

namespace jpegtest {

inline std::optional<int> intOf(fw::Settings& store, const std::string& key) {
    constexpr int kUnset = -987654321;
    const int v = store.GetInt(key, kUnset);
    return v == kUnset ? std::nullopt : std::optional<int>(v);
}

inline std::optional<double> doubleOf(fw::Settings& store, const std::string& key) {
    constexpr double kUnset = -987654321.5;
    const double v = store.GetDouble(key, kUnset);
    return v == kUnset ? std::nullopt : std::optional<double>(v);
}

inline std::optional<std::string> stringOf(fw::Settings& store, const std::string& key) {
    const std::string kUnset = "<unset>";
    const std::string v = store.GetString(key, kUnset);
    return v == kUnset ? std::nullopt : std::optional<std::string>(v);
}

}  // namespace jpegtest
