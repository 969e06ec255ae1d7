#pragma once
// The container kinds: lists, dicts, the ordered dict and the buffer record.
// Include "dv/var.h".

#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "dv/var_holder.h"
#include "dv/var_value.h"

namespace dv {

// An ordered sequence of handles with its own mutex.
class VarArray : public VarValue_<std::vector<Var>> {
public:
    VarArray() = default;
    explicit VarArray(const std::vector<Var>& elements);
    explicit VarArray(std::vector<Var>&& elements);

    const void* ptr(const std::type_info& type) const override;
    const Var& classObject() const override;
    size_t length() const override;
    Var clone(int depth) const override;

    // Element i under the mutex; Undefined when i is past the end.
    const Var& operator[](size_t i) const;
    // Copies of the element handles, taken under the mutex.
    std::vector<Var> snapshot() const;

    std::vector<Var>& elements() { return value; }
    const std::vector<Var>& elements() const { return value; }

    mutable std::mutex mutex;
};

// String keys to handles, with its own mutex and an optional class of its own.
class VarObject : public VarValue_<std::unordered_map<std::string, Var>> {
public:
    using Entries = std::unordered_map<std::string, Var>;

    VarObject() = default;
    explicit VarObject(const Entries& entries);
    explicit VarObject(Entries&& entries);
    ~VarObject() override;

    const void* ptr(const std::type_info& type) const override;
    const Var& classObject() const override;
    size_t length() const override;
    Var clone(int depth) const override;

    // A copy of the handle under name, Undefined when absent; never inserts.
    Var get(const std::string& name) const;
    // Rebinds an existing entry or inserts a new one.
    void set(const std::string& name, const Var& value);
    // The entry under name, inserted as Undefined when absent.
    Var& entry(const std::string& name);
    // A copy of that entry, found or inserted and read under the mutex.
    Var fetch(const std::string& name);
    // Removes name when present.
    bool erase(const std::string& name);
    // Copies of the entries, taken under the mutex.
    std::vector<std::pair<std::string, Var>> snapshot() const;

    Entries& entries() { return value; }
    const Entries& entries() const { return value; }

    mutable std::mutex mutex;
    // When it holds a class record, the dict reports that class.
    Var objectClass;
};

// Key order of an ordered dict: the left key's "__lt__".
struct VarLess {
    bool operator()(const Var& a, const Var& b) const;
};

// An ordered map from Var to Var with its own mutex.
class VarDict : public VarValue_<std::map<Var, Var, VarLess>> {
public:
    const void* ptr(const std::type_info& type) const override;
    const Var& classObject() const override;
    size_t length() const override;
    Var clone(int depth) const override;

    // The entry of key, inserted as Undefined when absent.
    Var& operator[](const Var& key);
    // The value under key, Undefined when absent.
    Var get(const Var& key) const;
    // Removes every entry whose key is equivalent to key.
    void erase(const Var& key);

    mutable std::mutex mutex;
};

// A described block of bytes: its size, format text and shape.
struct VarBuffer {
    uint64_t byteSize = 0;
    std::string format;
    std::vector<int64_t> shape;
};

std::ostream& operator<<(std::ostream& os, const VarArray& list);
std::ostream& operator<<(std::ostream& os, const VarObject& dict);

}  // namespace dv
