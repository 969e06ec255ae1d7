#include "image_meta/store_access.h"

#include "fw/settings.h"

#include <mutex>

namespace imagemeta {

namespace {

template <typename T>
void assign(fw::SettingsWithType<T>& map, const std::string& key, const T& value) {
    std::lock_guard<std::mutex> lock(map.mutex);
    map.data[key] = value;
}

}  // namespace

void storeInt(fw::Settings& store, const std::string& key, int value) { assign(store.intMap(), key, value); }

void storeDouble(fw::Settings& store, const std::string& key, double value) {
    assign(store.doubleMap(), key, value);
}

void storeString(fw::Settings& store, const std::string& key, const std::string& value) {
    assign(store.stringMap(), key, value);
}

bool hasText(fw::Settings& store, const std::string& key) { return store.hasText(key); }

bool hasNumber(fw::Settings& store, const std::string& key) { return store.exist(key); }

}  // namespace imagemeta
