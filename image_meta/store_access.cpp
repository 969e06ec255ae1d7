#include "image_meta/store_access.h"

#include "fw/settings.h"

namespace imagemeta {

void storeInt(fw::Settings& store, const std::string& key, int value) { store.ints.getRef(key) = value; }

void storeDouble(fw::Settings& store, const std::string& key, double value) { store.doubles.getRef(key) = value; }

void storeString(fw::Settings& store, const std::string& key, const std::string& value) {
    store.strings.getRef(key) = value;
}

bool hasText(fw::Settings& store, const std::string& key) { return store.hasText(key); }

bool hasNumber(fw::Settings& store, const std::string& key) { return store.exist(key); }

}  // namespace imagemeta
