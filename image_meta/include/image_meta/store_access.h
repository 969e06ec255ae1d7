#pragma once
// The few direct writes and presence tests on the metadata store that the
// reader needs beside the store's getters.

#include <string>

namespace fw {
class Settings;
}

namespace imagemeta {

// Find-or-insert the key in the typed map, then assign.
void storeInt(fw::Settings& store, const std::string& key, int value);
void storeDouble(fw::Settings& store, const std::string& key, double value);
void storeString(fw::Settings& store, const std::string& key, const std::string& value);

// True when the store's text map holds the key (XMP attributes live there).
bool hasText(fw::Settings& store, const std::string& key);

// True when the store's number (double) map holds the key.
bool hasNumber(fw::Settings& store, const std::string& key);

}  // namespace imagemeta
