#pragma once
// Class records: the class object of every native type, its attributes,
// cached special functions and parents. Include "dv/var.h".

#include <iosfwd>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "dv/var_value.h"

namespace dv {

namespace detail {
// A stable, readable name for a native type (demangled).
std::string typeNameOf(const std::type_info& type);
// A new class object for a native type, registered for release at exit.
Var makeClassObject(const std::type_info& type);
}  // namespace detail

class VarClass {
public:
    // Getter called with (instance); setter called with (instance, value).
    // A setter that holds no function makes the property read-only.
    struct VarProperty {
        Var getter;
        Var setter;
    };

    VarClass(const std::string& name, std::type_index type, const std::vector<Var>& parents = {});

    // Adds a function under name; a repeated signature text is dropped.
    VarClass& def(const std::string& name, const Var& function, bool isMethod);
    // Wraps a callable (its first argument the instance) and defines it as a method.
    template <typename F>
    VarClass& addMethod(const std::string& name, F callable);

    // Attribute lookup through the parents, depth first; found names are
    // cached in this class's dict, missing ones leave an Undefined entry.
    Var operator[](const std::string& name);

    // Call by method name: own attributes, then the parents.
    Var call(const Var& instance, const std::string& name, std::vector<Var> args);
    Var call(const Var& instance, const std::string& name, Var arg);

    // The class object of T: one process-wide Var per type.
    template <typename T>
    static Var& forType();
    // The record inside forType<T>().
    template <typename T>
    static VarClass& classOf();

    std::string helpText() const;

    std::string className;
    std::string docText;
    std::type_index nativeType;
    Var attributes;
    Var initFunction;
    Var strFunction;
    Var getItemFunction;
    Var setItemFunction;
    std::vector<Var> parentClasses;
};

std::ostream& operator<<(std::ostream& os, const VarClass& c);

}  // namespace dv
