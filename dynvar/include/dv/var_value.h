#pragma once
// The dynamic value handle dv::Var, the base of every held value, the
// library's exception and the iteration record. Include "dv/var.h".

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pt/point.h"

namespace dv {

class Var;
class VarValue;
template <typename T>
class VarValue_;
class VarArray;
class VarObject;
class VarDict;
class VarClass;
class VarFunction;
class VarIterator;
struct VarBuffer;

// Base of every held value; a bare VarValue is the Undefined value.
class VarValue {
public:
    virtual ~VarValue();
    // Address of the held native object when type is the held type, else null.
    virtual const void* ptr(const std::type_info& type) const;
    // The class object of the held type.
    virtual const Var& classObject() const;
    // Number of children (lists and dicts only).
    virtual size_t length() const;
    virtual Var clone(int depth) const;
};

namespace detail {

template <typename T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

template <typename T>
struct IsSharedPtr : std::false_type {};
template <typename T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};

template <typename T>
struct IsVector : std::false_type {};
template <typename E, typename A>
struct IsVector<std::vector<E, A>> : std::true_type {
    using Element = E;
};

template <typename T>
struct IsInitList : std::false_type {};
template <typename T>
struct IsInitList<std::initializer_list<T>> : std::true_type {};

template <typename T>
constexpr bool isHolderPointer =
    std::is_pointer_v<T> && std::is_base_of_v<VarValue, std::remove_cv_t<std::remove_pointer_t<T>>>;

template <typename T>
constexpr bool isText = std::is_array_v<T> || std::is_same_v<std::decay_t<T>, const char*> ||
                        std::is_same_v<std::decay_t<T>, char*>;

// Types that the generic constructor wraps in a VarValue_<T>.
template <typename T>
constexpr bool isGenericValue =
    !std::is_same_v<T, Var> && !std::is_base_of_v<VarValue, T> && !isHolderPointer<T> && !isText<T> &&
    !IsSharedPtr<T>::value && !IsInitList<T>::value && !std::is_same_v<T, std::nullptr_t> &&
    !std::is_same_v<T, int> && !std::is_same_v<T, bool> && !std::is_same_v<T, double> &&
    !std::is_same_v<T, std::string> && !std::is_void_v<T>;

// Types that operator= hands to Var::assign.
template <typename T>
constexpr bool isAssignable = !std::is_same_v<T, Var> && !std::is_base_of_v<VarValue, T> &&
                              !isHolderPointer<T> && !IsInitList<T>::value;

}  // namespace detail

// A shared handle on one held value. Copies share the value; the handle never
// holds an empty pointer (the default shares the one Undefined value).
class Var {
public:
    Var();
    // Takes ownership of a newly allocated holder (null gives Undefined).
    Var(VarValue* value);
    Var(std::nullptr_t);
    Var(bool v);
    Var(int v);
    Var(double v);
    Var(const std::string& v);
    Var(std::string&& v);
    Var(const char* v);
    Var(const std::vector<Var>& elements);
    Var(std::vector<Var>&& elements);
    Var(const std::vector<double>& values);
    Var(const std::vector<pt::Point3_<unsigned char>>& points);
    Var(const std::vector<pt::Point3_<float>>& points);
    Var(const std::vector<pt::Point3_<double>>& points);
    // A new dict with these entries.
    Var(const std::unordered_map<std::string, Var>& entries);
    Var(std::unordered_map<std::string, Var>&& entries);
    Var(const VarFunction& function);
    Var(const VarClass& record);
    // A list of [string, value] pairs makes a dict (first key wins), anything else a list.
    Var(std::initializer_list<Var> list);
    // An empty pointer gives the Null value.
    template <typename T>
    Var(std::shared_ptr<T> pointer);
    // Any other native type, held by value.
    template <typename T, typename = std::enable_if_t<detail::isGenericValue<detail::Bare<T>>>>
    Var(const T& value);

    Var(const Var& other) noexcept = default;
    Var(Var&& other) noexcept;
    Var& operator=(const Var& other) noexcept = default;
    Var& operator=(Var&& other) noexcept;
    ~Var() = default;

    // Adopts an existing held value (null gives Undefined).
    static Var fromHeld(std::shared_ptr<VarValue> value);

    static const Var& undefined();
    static const Var& null();
    // The process-wide root dict.
    static Var& instance();
    static Var object(const std::map<std::string, Var>& entries = {});

    template <typename T>
    bool holds() const {
        return value_->ptr(typeid(T)) != nullptr;
    }
    bool isUndefined() const;
    bool isNull() const;
    bool isFunction() const;
    bool isObject() const;
    bool isArray() const;

    size_t length() const { return value_->length(); }
    Var clone(int depth = 0) const { return value_->clone(depth); }

    VarValue& held() const { return *value_; }
    const std::shared_ptr<VarValue>& heldPointer() const { return value_; }

    const Var& classObject() const { return value_->classObject(); }
    // The class record of the value's class, or null.
    VarClass* classPtr() const;
    // The class name of the value.
    std::string typeName() const;

    bool operator==(const Var& other) const;
    bool operator!=(const Var& other) const { return !(*this == other); }

    // Assignment of a native value: in place when the value already holds a T
    // (every handle sees it), else the handle is rebound to a new value.
    template <typename T>
    Var& assign(const T& value);
    Var& assign(const char* text);
    Var& assign(const VarClass& record);

    template <typename T, typename = std::enable_if_t<detail::isAssignable<detail::Bare<T>>>>
    Var& operator=(const T& value) {
        if constexpr (detail::isText<T>) {
            return assign(static_cast<const char*>(value));
        } else {
            return assign(value);
        }
    }

    // Calls a function value, or constructs through a class's "__init__".
    template <typename... A>
    Var operator()(A&&... args) const {
        return call(std::vector<Var>{Var(std::forward<A>(args))...});
    }
    Var call(std::vector<Var> args) const;

    // Index for writing: an Undefined value first becomes a dict.
    Var& operator[](const Var& key);
    // Index for reading: the class's "__getitem__", else a property.
    Var operator[](const Var& key) const;

    // Parameter read with default creation; dotted names walk nested dicts.
    template <typename T>
    T get(const std::string& name, T def, bool walkDots = true);
    // Parameter write; dotted names create nested dicts.
    void set(const std::string& name, const Var& value, bool walkDots = true);

    VarIterator begin() const;
    VarIterator end() const;

    // The held T by reference, else "Can not treat X as Y".
    template <typename T>
    T& typedRef() const;
    // The held T by reference, else "Unable cast X to Y"; never converts.
    template <typename T>
    T& convertRef() const;
    // The held T, or a conversion through cast<T>(), else "Unable cast X to Y".
    template <typename T>
    T convert() const;
    // The value itself when it holds a T, else a conversion method's or T's
    // constructor's result when that holds a T, else Undefined.
    template <typename T>
    Var cast() const;

private:
    std::shared_ptr<VarValue> value_;
};

// Handle-level addition through the left value's "__add__".
Var operator+(const Var& a, const Var& b);

std::ostream& operator<<(std::ostream& os, const Var& v);

// The library's exception; its message is a value.
class VarException : public std::exception {
public:
    explicit VarException(Var message);
    ~VarException() override;
    const char* what() const noexcept override;
    const Var& message() const { return message_; }

private:
    Var message_;
};

// Iteration record: a list position, a dict position, or any other value.
class VarIterator {
public:
    static constexpr int32_t kDict = 0;
    static constexpr int32_t kList = 1;
    static constexpr int32_t kOther = 2;

    VarIterator(Var position, int32_t kind, Var container);
    VarIterator(const VarIterator& other);
    VarIterator& operator=(const VarIterator& other);
    VarIterator(VarIterator&&) noexcept = default;
    VarIterator& operator=(VarIterator&&) noexcept = default;

    // A list element, or a dict entry (std::pair<const std::string, Var>).
    Var operator*() const;
    VarIterator& operator++();
    bool operator==(const VarIterator& other) const;
    bool operator!=(const VarIterator& other) const { return !(*this == other); }

    // The entry's key (dicts) and value handle (dicts and lists).
    std::string key() const;
    Var value() const;

    const Var& position() const { return position_; }
    int32_t kind() const { return kind_; }

private:
    Var position_;
    int32_t kind_;
    Var container_;
};

}  // namespace dv
