#pragma once
// JSON text in and out of dynamic values. Include "dv/var.h".

#include <string>

#include "dv/var_value.h"

namespace dv {

// Tag type of the builtin Json module; its class carries "load" and "dump".
class Json {
public:
    // Parses one value. Syntax errors throw VarException; truncated or
    // malformed strings and comments give Undefined.
    static Var load(const std::string& text);
    // The printed text of a value.
    static std::string dump(const Var& value);
    // Appends text as a JSON string literal.
    static void dumpString(const std::string& text, std::string& out);
};

}  // namespace dv
