#pragma once
// Helpers shared by the tests of the dynamic value library.

#include <exception>
#include <functional>
#include <string>

#include "dv/var.h"

namespace dvtest {

// The message of the exception that f throws, or "(no exception)".
inline std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// A copy of the dict entry under key, Undefined when absent.
inline dv::Var entry(const dv::Var& dict, const std::string& key) {
    return dict.typedRef<dv::VarObject>().get(key);
}

}  // namespace dvtest
