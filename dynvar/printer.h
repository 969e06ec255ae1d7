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

void appendDouble(std::string& out, double d);
std::string listText(const VarArray& list);
std::string dictText(const VarObject& dict);

}  // namespace dv::detail
