#pragma once
// Internal to the library: the printer's fast paths for the builtin kinds.

#include <string>

#include "dv/var.h"

namespace dv::detail {

// The builtin "__str__" functions the printer may replace by its own writer.
enum BuiltinStr {
    kVoidStr,
    kNullStr,
    kIntStr,
    kBoolStr,
    kDoubleStr,
    kStringStr,
    kArrayStr,
    kObjectStr,
    kBuiltinStrCount
};

// Records the function value registered as a builtin "__str__" when the
// class caches it (the first registration).
void noteBuiltinStr(BuiltinStr kind, const VarClass& c, const Var& function);

// Room that writeDouble needs.
constexpr size_t kDoubleTextSize = 32;
// Writes a double as a stream with precision 12 does ("%.12g"); returns the end.
char* writeDouble(char* p, double d);
void appendDouble(std::string& out, double d);

// Room that writeEscaped needs for a text of n bytes.
inline size_t escapedSize(size_t n) {
    return 6 * n + 2;
}
// Writes text as a JSON string literal; returns the end.
char* writeEscaped(char* p, const std::string& text);
std::string listText(const VarArray& list);
std::string dictText(const VarObject& dict);

}  // namespace dv::detail
