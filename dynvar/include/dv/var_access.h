#pragma once
// Template members of Var and VarClass: construction, assignment, typed access,
// conversions and parameter reads. Include "dv/var.h".

#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "dv/var_class.h"
#include "dv/var_containers.h"
#include "dv/var_function.h"
#include "dv/var_holder.h"
#include "dv/var_value.h"

namespace dv {

namespace detail {
[[noreturn]] void throwCannotTreat(const Var& value, const std::string& target);
[[noreturn]] void throwUnableCast(const Var& value, const std::string& target);
// Steps 2 and 3 of cast: the "__<target>__" method of the value's own class,
// then the target class's "__init__"; Undefined when neither gives the type.
Var castThroughClass(const Var& value, VarClass& target, const std::type_info& type);
// Named read of an instance that is neither a dict nor Undefined.
Var namedRead(const Var& instance, const std::string& name, const char* operation);
}  // namespace detail

template <typename T>
Var& VarClass::forType() {
    // The record is made inside the static's initialiser, so concurrent first
    // uses create exactly one class object.
    static Var classObject = detail::makeClassObject(typeid(T));
    if (!classObject.holds<VarClass>()) {
        classObject.assign(VarClass(detail::typeNameOf(typeid(T)), typeid(T)));
    }
    return classObject;
}

template <typename T>
VarClass& VarClass::classOf() {
    return forType<T>().template typedRef<VarClass>();
}

template <typename T>
Var::Var(std::shared_ptr<T> pointer) {
    if (pointer) {
        value_ = std::make_shared<VarValue_<std::shared_ptr<T>>>(std::move(pointer));
    } else {
        value_ = null().value_;
    }
}

template <typename T, typename>
Var::Var(const T& value) : value_(std::make_shared<VarValue_<T>>(value)) {}

template <typename T>
Var& Var::assign(const T& value) {
    if constexpr (std::is_same_v<T, std::nullptr_t>) {
        *this = null();
    } else if constexpr (std::is_same_v<T, VarClass>) {
        assign(static_cast<const VarClass&>(value));
    } else {
        // In place only into a holder of exactly T.
        VarValue& current = *value_;
        if (typeid(current) == typeid(VarValue_<T>)) {
            static_cast<VarValue_<T>&>(current).value = value;
        } else {
            *this = Var(value);
        }
    }
    return *this;
}

template <typename T>
T& Var::typedRef() const {
    const void* p = value_->ptr(typeid(T));
    if (!p) detail::throwCannotTreat(*this, VarClass::classOf<T>().className);
    return *const_cast<T*>(static_cast<const T*>(p));
}

template <typename T>
T& Var::convertRef() const {
    const void* p = value_->ptr(typeid(T));
    if (!p) detail::throwUnableCast(*this, VarClass::classOf<T>().className);
    return *const_cast<T*>(static_cast<const T*>(p));
}

template <typename T>
T Var::convert() const {
    if constexpr (std::is_same_v<T, const char*>) {
        if (const void* p = value_->ptr(typeid(const char*))) return *static_cast<const char* const*>(p);
        if (const void* p = value_->ptr(typeid(char))) return static_cast<const char*>(p);
        if (const void* p = value_->ptr(typeid(char*))) return *static_cast<char* const*>(p);
        if (isNull()) return nullptr;
        if (const void* p = value_->ptr(typeid(std::string))) return static_cast<const std::string*>(p)->c_str();
        detail::throwUnableCast(*this, VarClass::classOf<T>().className);
    } else if constexpr (std::is_pointer_v<T>) {
        using U = std::remove_cv_t<std::remove_pointer_t<T>>;
        if (const void* p = value_->ptr(typeid(T))) return *static_cast<T const*>(p);
        if (const void* p = value_->ptr(typeid(U))) return const_cast<U*>(static_cast<const U*>(p));
        if (const void* p = value_->ptr(typeid(U*))) return *static_cast<U* const*>(p);
        VarClass* own = classPtr();
        if (own && own->nativeType == typeid(std::nullptr_t)) return nullptr;
        Var c = cast<T>();
        if (const void* p = c.value_->ptr(typeid(T))) return *static_cast<T const*>(p);
        detail::throwUnableCast(*this, VarClass::classOf<T>().className);
    } else if constexpr (detail::IsSharedPtr<T>::value) {
        if (const void* p = value_->ptr(typeid(T))) return *static_cast<const T*>(p);
        if (isNull()) return T();
        detail::throwUnableCast(*this, VarClass::classOf<T>().className);
    } else if constexpr (detail::IsVector<T>::value) {
        using E = typename detail::IsVector<T>::Element;
        if (const void* p = value_->ptr(typeid(T))) return *static_cast<const T*>(p);
        if (!isArray()) detail::throwUnableCast(*this, VarClass::classOf<T>().className);
        // The list rule of cast, without the intermediate holder.
        const std::vector<Var>& elements = typedRef<VarArray>().elements();
        T out;
        out.reserve(elements.size());
        for (const Var& e : elements) out.push_back(e.convert<E>());
        return out;
    } else {
        if (const void* p = value_->ptr(typeid(T))) return *static_cast<const T*>(p);
        Var c = cast<T>();
        if (const void* p = c.value_->ptr(typeid(T))) return *static_cast<const T*>(p);
        detail::throwUnableCast(*this, VarClass::classOf<T>().className);
    }
}

template <typename T>
Var Var::cast() const {
    if (holds<T>()) return *this;
    if constexpr (detail::IsVector<T>::value) {
        using E = typename detail::IsVector<T>::Element;
        if (!isArray()) return Var();
        const std::vector<Var>& elements = typedRef<VarArray>().elements();
        T out;
        out.reserve(elements.size());
        for (const Var& e : elements) out.push_back(e.convert<E>());
        return Var(static_cast<VarValue*>(new VarValue_<T>(std::move(out))));
    } else {
        return detail::castThroughClass(*this, VarClass::classOf<T>(), typeid(T));
    }
}

template <typename T>
T Var::get(const std::string& name, T def, bool walkDots) {
    if (walkDots) {
        size_t dot = name.find('.');
        if (dot != std::string::npos) {
            Var& level = (*this)[Var(name.substr(0, dot))];
            return level.get<T>(name.substr(dot + 1), std::move(def), walkDots);
        }
    }
    Var var;
    if (isObject()) {
        var = typedRef<VarObject>().get(name);
        if (const void* p = var.held().ptr(typeid(T))) return *static_cast<const T*>(p);
    } else if (isUndefined()) {
        *this = object();
    } else {
        return detail::namedRead(*this, name, "get").template typedRef<T>();
    }
    if (var.isUndefined()) {
        var = Var(std::move(def));
    } else {
        Var c = var.cast<T>();
        if (c.holds<T>()) var = c;
    }
    set(name, var, false);
    return var.typedRef<T>();
}

}  // namespace dv
