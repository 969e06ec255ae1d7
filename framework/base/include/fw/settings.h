#pragma once
// Typed key-value configuration store. Values are kept as text; the typed
// getters parse a value once and cache it. A key unknown to the store is read
// from the environment variable of the same name, then from the caller's default.

#include "pt/point.h"

#include <map>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <sstream>
#include <string>

namespace fw {

// One typed map with its own lock. Entries are never removed, so references
// to them stay valid while the map lives.
template <typename T>
struct SettingsWithType {
    std::map<std::string, T> data;
    std::mutex mutex;

    // The entry of name, made value-initialised when absent.
    T& getRef(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        return data[name];
    }

    // The entry of name, or null.
    T* find(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = data.find(name);
        return it == data.end() ? nullptr : &it->second;
    }

    // Inserts value when name is absent; the entry either way.
    T& insert(const std::string& name, const T& value) {
        std::lock_guard<std::mutex> lock(mutex);
        return data.emplace(name, value).first->second;
    }

    bool empty() {
        std::lock_guard<std::mutex> lock(mutex);
        return data.empty();
    }

    // One line per entry: name and value, each left-aligned in 39 columns.
    std::string reportText();
};

class Settings {
public:
    // The process-wide store, made on first use.
    static Settings& instance();

    Settings() = default;
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // Mode bit 0: when the default is taken, also record it as text.
    int& GetInt(const std::string& name, int defaultValue, int mode = 0);
    double& GetDouble(const std::string& name, double defaultValue, int mode = 0);
    std::string& GetString(const std::string& name, const std::string& defaultValue, int mode = 0);
    // Points are cached in one map shared by every store.
    pt::Point3d GetPoint3d(const std::string& name, const pt::Point3d& defaultValue);

    // Sets the text of name; with overwrite also replaces the typed entries of
    // name. Throws std::invalid_argument / std::out_of_range when an int or
    // double entry exists and text is not such a number; nothing is changed then.
    // Returns true when name was new to the text map.
    bool setvar(std::string name, std::string text, bool overwrite);

    // Every leaf of json becomes a text entry prefix + key (nested keys joined by '.').
    static void loadJson(const nlohmann::json& json, Settings& store, const std::string& prefix = "");

    std::string reportText();

    // True when the double map holds name (looked up under that map's lock).
    bool exist(const std::string& name);
    // True when the text map holds name.
    bool hasText(const std::string& name);

    // The typed maps, for callers that write typed entries themselves
    // (find-or-insert, then assignment) rather than read them with a default.
    SettingsWithType<int>& intMap() { return ints_; }
    SettingsWithType<double>& doubleMap() { return doubles_; }
    SettingsWithType<std::string>& stringMap() { return strings_; }

private:
    template <typename T>
    T& getTyped(SettingsWithType<T>& map, const std::string& name, const T& defaultValue, int mode);
    bool setvarLocked(const std::string& name, const std::string& text, bool overwrite);

    SettingsWithType<int> ints_;
    SettingsWithType<double> doubles_;
    SettingsWithType<std::string> strings_;
    std::mutex mutex_;
    std::map<std::string, std::string> texts_;
};

}  // namespace fw
