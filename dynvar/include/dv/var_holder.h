#pragma once
// The per-type holders VarValue_<T>. Include "dv/var.h".

#include <memory>
#include <typeindex>
#include <typeinfo>
#include <utility>

#include "dv/var_class.h"
#include "dv/var_value.h"

namespace dv {

// Holds one T by value.
template <typename T>
class VarValue_ : public VarValue {
public:
    VarValue_() = default;
    explicit VarValue_(const T& v) : value(v) {}
    explicit VarValue_(T&& v) : value(std::move(v)) {}

    const void* ptr(const std::type_info& type) const override {
        return type == typeid(T) ? &value : nullptr;
    }
    const Var& classObject() const override { return VarClass::forType<T>(); }
    size_t length() const override { return 0; }
    Var clone(int) const override { return Var(value); }

    T value;
};

// Holds a character pointer (not a copy of the characters).
template <>
class VarValue_<const char*> : public VarValue {
public:
    explicit VarValue_(const char* v) : value(v) {}

    const void* ptr(const std::type_info& type) const override {
        if (type == typeid(char)) return value;
        if (type == typeid(const char*)) return &value;
        return nullptr;
    }
    const Var& classObject() const override { return VarClass::forType<const char*>(); }
    size_t length() const override { return 0; }
    Var clone(int) const override { return Var(); }

    const char* value;
};

// Holds a shared pointer; answers the pointee type with the raw pointer and
// reports the pointee's class.
template <typename T>
class VarValue_<std::shared_ptr<T>> : public VarValue {
public:
    explicit VarValue_(std::shared_ptr<T> v) : value(std::move(v)) {}

    const void* ptr(const std::type_info& type) const override {
        if (type == typeid(std::shared_ptr<T>)) return &value;
        if (type == typeid(T)) return static_cast<const void*>(value.get());
        return nullptr;
    }
    const Var& classObject() const override { return VarClass::forType<T>(); }
    size_t length() const override { return 0; }
    Var clone(int) const override { return Var(value); }
    virtual std::type_index elementType() const { return typeid(T); }

    std::shared_ptr<T> value;
};

}  // namespace dv
