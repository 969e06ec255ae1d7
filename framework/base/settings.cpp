#include "fw/settings.h"

#include "fw/log.h"

#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

namespace fw {

namespace {

const char* const kRule = "------------------------------------------------------------------------------\n";

void appendEntry(std::string& out, const std::string& name, const std::string& value) {
    std::ostringstream line;
    line << std::left << std::setw(39) << name << "  " << std::setw(39) << value << '\n';
    out += line.str();
}

template <typename T>
std::string valueText(const T& value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Formatted extraction into a variable holding the default: "12abc" gives 12,
// "abc" gives 0, blank text keeps the default.
template <typename T>
T readValue(const std::string& text, const T& defaultValue) {
    T value = defaultValue;
    try {
        std::istringstream in(text);
        in >> value;
    } catch (...) {
        std::cerr << "Failed to read value from " << text << std::endl;
        value = defaultValue;
    }
    return value;
}

template <>
std::string readValue<std::string>(const std::string& text, const std::string&) {
    return text;
}

std::string defaultText(int value) { return std::to_string(value); }

std::string defaultText(double value) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(12) << value;
    return text.str();
}

std::string defaultText(const std::string& value) { return value; }

SettingsWithType<pt::Point3d>& pointMap() {
    static std::shared_ptr<SettingsWithType<pt::Point3d>> points = std::make_shared<SettingsWithType<pt::Point3d>>();
    return *points;
}

}  // namespace

template <typename T>
std::string SettingsWithType<T>::reportText() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string out;
    for (const auto& entry : data) appendEntry(out, entry.first, valueText(entry.second));
    return out;
}

template struct SettingsWithType<int>;
template struct SettingsWithType<double>;
template struct SettingsWithType<std::string>;

Settings& Settings::instance() {
    static std::shared_ptr<Settings> store = std::make_shared<Settings>();
    return *store;
}

Settings::~Settings() {
    if (GetInt("Settings.DumpAllVars", 0, 0) != 0) {
        std::cout << std::endl;
        std::cout << reportText();
        std::cout.flush();
    }
}

template <typename T>
T& Settings::getTyped(SettingsWithType<T>& map, const std::string& name, const T& defaultValue, int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (T* cached = map.find(name)) return *cached;

    std::optional<std::string> text;
    auto it = texts_.find(name);
    if (it != texts_.end()) {
        text = it->second;
    } else if (const char* env = std::getenv(name.c_str())) {
        text = std::string(env);
    }
    if (text) return map.insert(name, readValue<T>(*text, defaultValue));

    T& entry = map.insert(name, defaultValue);
    if (mode & 1) setvarLocked(name, defaultText(defaultValue), true);
    return entry;
}

int& Settings::GetInt(const std::string& name, int defaultValue, int mode) {
    return getTyped(ints_, name, defaultValue, mode);
}

double& Settings::GetDouble(const std::string& name, double defaultValue, int mode) {
    return getTyped(doubles_, name, defaultValue, mode);
}

std::string& Settings::GetString(const std::string& name, const std::string& defaultValue, int mode) {
    return getTyped(strings_, name, defaultValue, mode);
}

pt::Point3d Settings::GetPoint3d(const std::string& name, const pt::Point3d& defaultValue) {
    std::lock_guard<std::mutex> lock(mutex_);
    SettingsWithType<pt::Point3d>& points = pointMap();
    if (const pt::Point3d* cached = points.find(name)) return *cached;

    std::optional<std::string> text;
    auto it = texts_.find(name);
    if (it != texts_.end()) {
        text = it->second;
    } else if (const char* env = std::getenv(name.c_str())) {
        text = std::string(env);
    }
    if (!text) return points.insert(name, defaultValue);

    pt::Point3d point(0.0, 0.0, 0.0);
    std::istringstream in(*text);
    double x = 0.0, y = 0.0, z = 0.0;
    // A failed read leaves 0.0 for it and for every later coordinate.
    if (in >> x) {
        point.x = x;
        if (in >> y) {
            point.y = y;
            if (in >> z) point.z = z;
        }
    }
    points.insert(name, point);
    return point;
}

bool Settings::setvar(std::string name, std::string text, bool overwrite) {
    std::lock_guard<std::mutex> lock(mutex_);
    return setvarLocked(name, text, overwrite);
}

bool Settings::setvarLocked(const std::string& name, const std::string& text, bool overwrite) {
    if (overwrite) {
        // Parse everything first, so a bad number changes nothing.
        std::optional<int> intValue;
        std::optional<double> doubleValue;
        if (ints_.find(name)) intValue = std::stoi(text);
        if (doubles_.find(name)) doubleValue = std::stod(text);
        if (intValue) {
            if (int* entry = ints_.find(name)) {
                std::lock_guard<std::mutex> mapLock(ints_.mutex);
                *entry = *intValue;
            }
        }
        if (doubleValue) {
            if (double* entry = doubles_.find(name)) {
                std::lock_guard<std::mutex> mapLock(doubles_.mutex);
                *entry = *doubleValue;
            }
        }
        if (std::string* entry = strings_.find(name)) {
            std::lock_guard<std::mutex> mapLock(strings_.mutex);
            *entry = text;
        }
    }
    auto it = texts_.find(name);
    if (it == texts_.end()) {
        texts_.emplace(name, text);
        return true;
    }
    if (overwrite) it->second = text;
    return false;
}

void Settings::loadJson(const nlohmann::json& json, Settings& store, const std::string& prefix) {
    if (!json.is_object() && !json.is_array()) {
        FW_LOG(Warning) << "Settings::loadJson: " << json.type_name() << " value has no members, nothing loaded";
        return;
    }
    size_t index = 0;
    for (auto it = json.begin(); it != json.end(); ++it, ++index) {
        const std::string key = prefix + (json.is_object() ? it.key() : std::to_string(index));
        const nlohmann::json& member = it.value();
        if (member.is_object()) {
            loadJson(member, store, key + ".");
        } else if (member.is_string()) {
            store.setvar(key, member.get<std::string>(), true);
        } else if (member.is_boolean()) {
            store.setvar(key, member.get<bool>() ? "1" : "0", true);
        } else {
            store.setvar(key, member.dump(), true);
        }
    }
}

bool Settings::exist(const std::string& name) { return doubles_.find(name) != nullptr; }

bool Settings::hasText(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_.count(name) > 0;
}

std::string Settings::reportText() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ints_.empty() && doubles_.empty() && strings_.empty() && texts_.empty()) return "";

    std::string out;
    out += "================================== Var report ===============================\n";
    out += "NAME                                     VALUE                                \n";
    if (!ints_.empty()) out += kRule + ints_.reportText();
    if (!doubles_.empty()) out += kRule + doubles_.reportText();
    if (!strings_.empty()) out += kRule + strings_.reportText();
    out += kRule;
    for (const auto& entry : texts_) appendEntry(out, entry.first, entry.second);
    out += "=============================== End of Var report ===========================\n";
    out += "\n";
    return out;
}

}  // namespace fw
