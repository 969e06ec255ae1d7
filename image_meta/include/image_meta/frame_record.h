#pragma once
// The frame record that image_meta prints: built from the metadata store
// after the reader and the maker normalisers have filled it.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace fw {
class Settings;
}

namespace imagemeta {

// Appends the numbers after the first ";" of a dewarp text, split at ",";
// pieces that hold no (finite, in-range) number are skipped.
void parseDewarpData(const std::string& text, std::vector<double>& values);

// Seconds since the epoch of a date "Y:M:D h:m:s" (or "Y-M-D h:m:s") read as
// local time; fields that cannot be read keep 2020 for the year, 0 for the
// rest. -1 when the time cannot be represented.
int64_t dateToTimestamp(std::string date);

// The record: "uri" and "timestamp" always, the rest when the store has it.
nlohmann::json buildFrameRecord(fw::Settings& store, const std::string& uri);

// The output line {"frame":"<record as compact JSON text>"} without its line
// end. Throws nlohmann::json::type_error when a text is not valid UTF-8.
std::string frameLine(const nlohmann::json& record);

}  // namespace imagemeta
