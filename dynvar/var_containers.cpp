#include "dv/var.h"

#include <mutex>

namespace dv {

// ---- VarArray ----

VarArray::VarArray(const std::vector<Var>& elements) : VarValue_<std::vector<Var>>(elements) {}

VarArray::VarArray(std::vector<Var>&& elements) : VarValue_<std::vector<Var>>(std::move(elements)) {}

const void* VarArray::ptr(const std::type_info& type) const {
    if (type == typeid(VarArray)) return this;
    if (type == typeid(std::vector<Var>)) return &value;
    return nullptr;
}

const Var& VarArray::classObject() const {
    return VarClass::forType<VarArray>();
}

size_t VarArray::length() const {
    std::lock_guard<std::mutex> lock(mutex);
    return value.size();
}

Var VarArray::clone(int depth) const {
    // Children are cloned after the lock is released, so a list that
    // contains itself does not dead-lock.
    std::vector<Var> copy = snapshot();
    if (depth >= 1) {
        for (Var& e : copy) e = e.clone(depth - 1);
    }
    return Var(std::move(copy));
}

const Var& VarArray::operator[](size_t i) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (i < value.size()) return value[i];
    return Var::undefined();
}

std::vector<Var> VarArray::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return value;
}

// ---- VarObject ----

VarObject::VarObject(const Entries& entries) : VarValue_<Entries>(entries) {}

VarObject::VarObject(Entries&& entries) : VarValue_<Entries>(std::move(entries)) {}

VarObject::~VarObject() = default;

const void* VarObject::ptr(const std::type_info& type) const {
    if (type == typeid(VarObject)) return this;
    if (type == typeid(Entries)) return &value;
    return nullptr;
}

const Var& VarObject::classObject() const {
    if (objectClass.holds<VarClass>()) return objectClass;
    return VarClass::forType<VarObject>();
}

size_t VarObject::length() const {
    std::lock_guard<std::mutex> lock(mutex);
    return value.size();
}

Var VarObject::clone(int depth) const {
    Entries copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        copy = value;
    }
    if (depth >= 1) {
        for (auto& entry : copy) entry.second = entry.second.clone(depth - 1);
    }
    return Var(std::move(copy));
}

Var VarObject::get(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = value.find(name);
    if (it == value.end()) return Var();
    return it->second;
}

void VarObject::set(const std::string& name, const Var& v) {
    std::lock_guard<std::mutex> lock(mutex);
    value[name] = v;
}

Var& VarObject::entry(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    return value[name];
}

Var VarObject::fetch(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    return value[name];
}

bool VarObject::erase(const std::string& name) {
    Var removed;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = value.find(name);
    if (it == value.end()) return false;
    removed = std::move(it->second);
    value.erase(it);
    return true;
}

std::vector<std::pair<std::string, Var>> VarObject::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<std::pair<std::string, Var>>(value.begin(), value.end());
}

// ---- VarDict ----

bool VarLess::operator()(const Var& a, const Var& b) const {
    VarClass* c = a.classPtr();
    if (!c) throw VarException(Var(a.typeName() + " has no class to order keys"));
    return c->call(a, "__lt__", b).typedRef<bool>();
}

const void* VarDict::ptr(const std::type_info& type) const {
    if (type == typeid(VarDict)) return this;
    if (type == typeid(std::map<Var, Var, VarLess>)) return &value;
    return nullptr;
}

const Var& VarDict::classObject() const {
    return VarClass::forType<VarDict>();
}

size_t VarDict::length() const {
    std::lock_guard<std::mutex> lock(mutex);
    return value.size();
}

Var VarDict::clone(int depth) const {
    auto* copy = new VarDict();
    Var result(static_cast<VarValue*>(copy));
    {
        std::lock_guard<std::mutex> lock(mutex);
        copy->value = value;
    }
    if (depth >= 1) {
        for (auto& entry : copy->value) entry.second = entry.second.clone(depth - 1);
    }
    return result;
}

Var& VarDict::operator[](const Var& key) {
    std::lock_guard<std::mutex> lock(mutex);
    return value[key];
}

Var VarDict::get(const Var& key) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = value.find(key);
    if (it == value.end()) return Var();
    return it->second;
}

void VarDict::erase(const Var& key) {
    std::vector<std::map<Var, Var, VarLess>::node_type> removed;
    std::lock_guard<std::mutex> lock(mutex);
    auto range = value.equal_range(key);
    while (range.first != range.second) {
        auto next = std::next(range.first);
        removed.push_back(value.extract(std::map<Var, Var, VarLess>::const_iterator(range.first)));
        range.first = next;
    }
}

}  // namespace dv
