#include "dv/var.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace dv {

namespace {

[[noreturn]] void fail(const std::string& text) {
    throw VarException(Var(text));
}

// Every class object, so that the reference cycles between classes and their
// methods' signatures can be broken at exit.
struct ClassRegistry {
    std::mutex mutex;
    std::vector<Var> classes;

    ~ClassRegistry() {
        for (Var& c : classes) {
            auto* record = static_cast<VarClass*>(const_cast<void*>(c.held().ptr(typeid(VarClass))));
            if (!record) continue;
            VarObject::Entries attributes;
            if (VarObject* dict = dynamic_cast<VarObject*>(&record->attributes.held())) {
                std::lock_guard<std::mutex> lock(dict->mutex);
                attributes.swap(dict->entries());
            }
            record->initFunction = Var::undefined();
            record->strFunction = Var::undefined();
            record->getItemFunction = Var::undefined();
            record->setItemFunction = Var::undefined();
            record->parentClasses.clear();
        }
        classes.clear();
    }
};

ClassRegistry& registry() {
    static ClassRegistry r;
    return r;
}

// Guards attribute lookup and call by name against parent cycles.
thread_local int lookupDepth = 0;
constexpr int kMaxLookupDepth = 256;

struct LookupScope {
    explicit LookupScope(const VarClass& c, const std::string& name) {
        if (++lookupDepth > kMaxLookupDepth) {
            --lookupDepth;
            fail("Class " + c.className + ": parent classes nested too deep looking up " + name);
        }
    }
    ~LookupScope() { --lookupDepth; }
};

}  // namespace

namespace detail {

std::string typeNameOf(const std::type_info& type) {
    if (type == typeid(std::nullptr_t)) return "std::nullptr_t";
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : type.name();
    std::free(demangled);
    return name;
}

Var makeClassObject(const std::type_info& type) {
    // The shared values outlive the registry, which touches them at exit.
    (void)Var::undefined();
    (void)Var::null();
    ClassRegistry& r = registry();
    Var c(VarClass(typeNameOf(type), type));
    std::lock_guard<std::mutex> lock(r.mutex);
    r.classes.push_back(c);
    return c;
}

}  // namespace detail

VarClass::VarClass(const std::string& name, std::type_index type, const std::vector<Var>& parents)
    : className(name), nativeType(type), attributes(Var::object()), parentClasses(parents) {}

VarClass& VarClass::def(const std::string& name, const Var& function, bool isMethod) {
    VarFunction& record = function.typedRef<VarFunction>();
    const std::string signature = VarFunction::signature(record);
    Var* slot = &attributes.typedRef<VarObject>().entry(name);
    std::vector<const VarFunction*> chain;
    while (slot->isFunction()) {
        VarFunction& current = slot->typedRef<VarFunction>();
        if (VarFunction::signature(current) == signature) return *this;
        chain.push_back(&current);
        slot = &current.nextOverload;
    }
    // A function already in this chain, or chaining into it, would make a cycle.
    std::vector<const VarFunction*> seen;
    for (const Var* f = &function; f->isFunction(); f = &f->typedRef<VarFunction>().nextOverload) {
        const VarFunction* r = &f->typedRef<VarFunction>();
        if (std::find(chain.begin(), chain.end(), r) != chain.end()) return *this;
        if (std::find(seen.begin(), seen.end(), r) != seen.end()) break;
        seen.push_back(r);
    }
    *slot = function;
    record.boundAsMethod = isMethod;
    record.functionName = className + "." + name;
    if (name == "__init__" && initFunction.isUndefined()) {
        initFunction = function;
        record.registeredAsInit = true;
    } else if (name == "__str__" && strFunction.isUndefined()) {
        strFunction = function;
    } else if (name == "__getitem__" && getItemFunction.isUndefined()) {
        getItemFunction = function;
    } else if (name == "__setitem__" && setItemFunction.isUndefined()) {
        setItemFunction = function;
    }
    return *this;
}

Var VarClass::operator[](const std::string& name) {
    LookupScope scope(*this, name);
    VarObject& own = attributes.typedRef<VarObject>();
    Var found = own.fetch(name);
    if (found.isUndefined()) {
        for (const Var& parent : parentClasses) {
            Var result = parent.typedRef<VarClass>()[name];
            own.set(name, result);
            if (!result.isUndefined()) {
                found = result;
                break;
            }
        }
    }
    return found;
}

Var VarClass::call(const Var& instance, const std::string& name, std::vector<Var> args) {
    LookupScope scope(*this, name);
    Var function = attributes.typedRef<VarObject>().get(name);
    if (function.isFunction()) {
        const VarFunction& record = function.typedRef<VarFunction>();
        if (record.boundAsMethod) args.insert(args.begin(), instance);
        return record.dispatch(std::move(args));
    }
    std::string failures;
    for (const Var& parent : parentClasses) {
        try {
            if (VarClass* record = static_cast<VarClass*>(const_cast<void*>(parent.held().ptr(typeid(VarClass))))) {
                return record->call(instance, name, args);
            }
            const VarArray& pair = parent.typedRef<VarArray>();
            Var parentClass = pair[0];
            Var converter = pair[1];
            return parentClass.typedRef<VarClass>().call(converter(instance), name, args);
        } catch (const VarException& e) {
            failures += e.what();
        }
    }
    fail("Class " + className + " has no function " + name + failures);
}

Var VarClass::call(const Var& instance, const std::string& name, Var arg) {
    return call(instance, name, std::vector<Var>{std::move(arg)});
}

}  // namespace dv
