#pragma once
// Registration of the builtin classes, their methods and the "__builtin__"
// module. It runs during the static initialisation of every file that
// includes this header; every run leaves the same state.

namespace dv {

struct BuiltinClasses {
    BuiltinClasses();
};

namespace {
const BuiltinClasses builtinClassesRegistration;
}  // namespace

}  // namespace dv
