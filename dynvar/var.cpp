#include "dv/var.h"

#include <cmath>
#include <limits>
#include <mutex>

namespace dv {

namespace {

[[noreturn]] void fail(const std::string& text) {
    throw VarException(Var(text));
}

// Position of a list write index; anything but an in-range number throws.
size_t listIndex(const Var& list, const VarArray& elements, const Var& key) {
    int64_t index = 0;
    if (key.holds<int>()) {
        index = key.typedRef<int>();
    } else if (key.holds<double>()) {
        double d = key.typedRef<double>();
        if (!std::isfinite(d) || d <= -9.2e18 || d >= 9.2e18) {
            fail(list.typeName() + ": Operator [] index out of range");
        }
        index = static_cast<int64_t>(d);
    } else if (key.holds<int64_t>()) {
        index = key.typedRef<int64_t>();
    } else if (key.holds<uint32_t>()) {
        index = key.typedRef<uint32_t>();
    } else if (key.holds<uint64_t>()) {
        uint64_t u = key.typedRef<uint64_t>();
        index = u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                    ? std::numeric_limits<int64_t>::max()
                    : static_cast<int64_t>(u);
    } else {
        fail(list.typeName() + ": Operator [] index must be a number, got " + key.typeName());
    }
    size_t size = elements.length();
    if (index < 0 || static_cast<uint64_t>(index) >= size) {
        fail(list.typeName() + ": Operator [] index " + std::to_string(index) + " out of range (size " +
             std::to_string(size) + ")");
    }
    return static_cast<size_t>(index);
}

VarArray* asArray(const std::shared_ptr<VarValue>& v) {
    return dynamic_cast<VarArray*>(v.get());
}

VarObject* asObject(const std::shared_ptr<VarValue>& v) {
    return dynamic_cast<VarObject*>(v.get());
}

template <typename P>
Var pointList(const std::vector<P>& points) {
    std::vector<Var> elements;
    elements.reserve(points.size());
    for (const P& p : points) elements.emplace_back(p);
    return Var(std::move(elements));
}

}  // namespace

// ---- VarValue ----

VarValue::~VarValue() = default;

const void* VarValue::ptr(const std::type_info& type) const {
    return type == typeid(void) ? this : nullptr;
}

const Var& VarValue::classObject() const {
    return VarClass::forType<void>();
}

size_t VarValue::length() const {
    return 0;
}

Var VarValue::clone(int) const {
    return Var::undefined();
}

// ---- construction ----

Var::Var() : value_(undefined().value_) {}

Var::Var(VarValue* value) {
    if (value) {
        value_.reset(value);
    } else {
        value_ = undefined().value_;
    }
}

Var::Var(std::nullptr_t) : value_(null().value_) {}

Var::Var(bool v) : value_(std::make_shared<VarValue_<bool>>(v)) {}

Var::Var(int v) : value_(std::make_shared<VarValue_<int>>(v)) {}

Var::Var(double v) : value_(std::make_shared<VarValue_<double>>(v)) {}

Var::Var(const std::string& v) : value_(std::make_shared<VarValue_<std::string>>(v)) {}

Var::Var(std::string&& v) : value_(std::make_shared<VarValue_<std::string>>(std::move(v))) {}

Var::Var(const char* v) {
    if (v) {
        value_ = std::make_shared<VarValue_<std::string>>(std::string(v));
    } else {
        value_ = null().value_;
    }
}

Var::Var(const std::vector<Var>& elements) : value_(std::make_shared<VarArray>(elements)) {}

Var::Var(std::vector<Var>&& elements) : value_(std::make_shared<VarArray>(std::move(elements))) {}

Var::Var(const std::vector<double>& values) {
    std::vector<Var> elements;
    elements.reserve(values.size());
    for (double d : values) elements.emplace_back(d);
    value_ = std::make_shared<VarArray>(std::move(elements));
}

Var::Var(const std::vector<pt::Point3_<unsigned char>>& points) : Var(pointList(points)) {}

Var::Var(const std::vector<pt::Point3_<float>>& points) : Var(pointList(points)) {}

Var::Var(const std::vector<pt::Point3_<double>>& points) : Var(pointList(points)) {}

Var::Var(const std::unordered_map<std::string, Var>& entries) : value_(std::make_shared<VarObject>(entries)) {}

Var::Var(std::unordered_map<std::string, Var>&& entries)
    : value_(std::make_shared<VarObject>(std::move(entries))) {}

Var::Var(const VarFunction& function) : value_(std::make_shared<VarValue_<VarFunction>>(function)) {}

Var::Var(const VarClass& record) : value_(std::make_shared<VarValue_<VarClass>>(record)) {}

Var::Var(std::initializer_list<Var> list) {
    bool pairs = true;
    for (const Var& e : list) {
        const VarArray* a = asArray(e.value_);
        if (!a) {
            pairs = false;
            break;
        }
        std::lock_guard<std::mutex> lock(a->mutex);
        if (a->elements().size() != 2 || !a->elements()[0].holds<std::string>()) {
            pairs = false;
            break;
        }
    }
    if (pairs) {
        std::map<std::string, Var> entries;
        for (const Var& e : list) {
            std::vector<Var> pair = asArray(e.value_)->snapshot();
            if (pair.size() == 2 && pair[0].holds<std::string>()) {
                entries.emplace(pair[0].typedRef<std::string>(), pair[1]);
            }
        }
        value_ = object(entries).value_;
    } else {
        value_ = std::make_shared<VarArray>(std::vector<Var>(list));
    }
}

Var::Var(Var&& other) noexcept : value_(std::move(other.value_)) {
    other.value_ = undefined().value_;
}

Var& Var::operator=(Var&& other) noexcept {
    value_.swap(other.value_);
    return *this;
}

Var Var::fromHeld(std::shared_ptr<VarValue> value) {
    Var v;
    if (value) v.value_ = std::move(value);
    return v;
}

const Var& Var::undefined() {
    static const Var value(new VarValue());
    return value;
}

const Var& Var::null() {
    static const Var value(static_cast<VarValue*>(new VarValue_<std::nullptr_t>(nullptr)));
    return value;
}

Var& Var::instance() {
    static Var root = object();
    return root;
}

Var Var::object(const std::map<std::string, Var>& entries) {
    return Var(std::unordered_map<std::string, Var>(entries.begin(), entries.end()));
}

// ---- tests and names ----

bool Var::isUndefined() const {
    return holds<void>();
}

bool Var::isNull() const {
    return holds<std::nullptr_t>();
}

bool Var::isFunction() const {
    return holds<VarFunction>();
}

bool Var::isObject() const {
    return asObject(value_) != nullptr;
}

bool Var::isArray() const {
    return asArray(value_) != nullptr;
}

VarClass* Var::classPtr() const {
    const void* p = classObject().held().ptr(typeid(VarClass));
    return const_cast<VarClass*>(static_cast<const VarClass*>(p));
}

std::string Var::typeName() const {
    if (VarClass* c = classPtr()) return c->className;
    const VarValue& held = *value_;
    return detail::typeNameOf(typeid(held));
}

bool Var::operator==(const Var& other) const {
    if (VarClass* c = classPtr()) {
        Var eq = (*c)["__eq__"];
        if (eq.isFunction()) return eq(*this, other).typedRef<bool>();
    }
    return value_ == other.value_;
}

// ---- assignment ----

Var& Var::assign(const char* text) {
    *this = Var(text);
    return *this;
}

Var& Var::assign(const VarClass& record) {
    if (const void* p = value_->ptr(typeid(VarClass))) {
        VarClass& held = *const_cast<VarClass*>(static_cast<const VarClass*>(p));
        if (&held != &record) {
            held.className = record.className;
            held.docText = record.docText;
        }
        held.nativeType = record.nativeType;
        held.attributes = record.attributes;
        held.initFunction = record.initFunction;
        held.strFunction = record.strFunction;
        held.getItemFunction = record.getItemFunction;
        held.setItemFunction = record.setItemFunction;
        held.parentClasses = record.parentClasses;
    } else {
        *this = Var(record);
    }
    return *this;
}

// ---- calls and item access ----

Var Var::call(std::vector<Var> args) const {
    if (const void* f = value_->ptr(typeid(VarFunction))) {
        return static_cast<const VarFunction*>(f)->dispatch(std::move(args));
    }
    if (const void* c = value_->ptr(typeid(VarClass))) {
        const VarClass& record = *static_cast<const VarClass*>(c);
        if (record.initFunction.isFunction()) {
            return record.initFunction.typedRef<VarFunction>().dispatch(std::move(args));
        }
        fail("Class " + record.className + " does not have __init__ function.");
    }
    fail(typeName() + " can't be called as a function or constructor.");
}

Var& Var::operator[](const Var& key) {
    if (isUndefined()) *this = object();
    if (VarObject* dict = asObject(value_)) {
        return dict->entry(key.typedRef<std::string>());
    }
    if (VarArray* list = asArray(value_)) {
        size_t i = listIndex(*this, *list, key);
        std::lock_guard<std::mutex> lock(list->mutex);
        if (i >= list->elements().size()) {
            fail(typeName() + ": Operator [] index " + std::to_string(i) + " out of range (size " +
                 std::to_string(list->elements().size()) + ")");
        }
        return list->elements()[i];
    }
    if (VarDict* dict = dynamic_cast<VarDict*>(value_.get())) {
        return (*dict)[key];
    }
    fail(typeName() + ": Operator [] can't be used as a lvalue.");
}

Var Var::operator[](const Var& key) const {
    VarClass* c = classPtr();
    if (c && c->getItemFunction.isFunction()) return c->getItemFunction(*this, key);
    if (key.holds<std::string>()) return detail::namedRead(*this, key.typedRef<std::string>(), "Operator []");
    return Var();
}

namespace detail {

Var namedRead(const Var& instance, const std::string& name, const char* operation) {
    VarClass* c = instance.classPtr();
    if (c && c->getItemFunction.isFunction()) return c->getItemFunction(instance, name);
    if (c) {
        Var attribute = c->attributes.typedRef<VarObject>().get(name);
        if (const void* p = attribute.held().ptr(typeid(VarClass::VarProperty))) {
            return static_cast<const VarClass::VarProperty*>(p)->getter(instance);
        }
    }
    fail(instance.typeName() + ": " + operation + " called without property " + name);
}

}  // namespace detail

void Var::set(const std::string& name, const Var& value, bool walkDots) {
    if (walkDots) {
        size_t dot = name.find('.');
        if (dot != std::string::npos) {
            Var& level = (*this)[Var(name.substr(0, dot))];
            level.set(name.substr(dot + 1), value, walkDots);
            return;
        }
    }
    if (VarObject* dict = asObject(value_)) {
        dict->set(name, value);
        return;
    }
    if (isUndefined()) {
        *this = Var(std::unordered_map<std::string, Var>{{name, value}});
        return;
    }
    VarClass* c = classPtr();
    if (c && c->setItemFunction.isFunction()) {
        c->setItemFunction(*this, name, value);
        return;
    }
    if (c) {
        Var attribute = c->attributes.typedRef<VarObject>().get(name);
        if (const void* p = attribute.held().ptr(typeid(VarClass::VarProperty))) {
            const VarClass::VarProperty& property = *static_cast<const VarClass::VarProperty*>(p);
            if (!property.setter.isFunction()) fail(typeName() + ": property " + name + " is readonly.");
            property.setter(*this, value);
            return;
        }
    }
    fail(typeName() + ": set called without property " + name);
}

// ---- iteration ----

VarIterator Var::begin() const {
    if (VarObject* dict = asObject(value_)) {
        return VarIterator(Var(dict->entries().cbegin()), VarIterator::kDict, *this);
    }
    if (VarArray* list = asArray(value_)) {
        return VarIterator(Var(list->elements().cbegin()), VarIterator::kList, *this);
    }
    return VarIterator(*this, VarIterator::kOther, *this);
}

VarIterator Var::end() const {
    if (VarObject* dict = asObject(value_)) {
        return VarIterator(Var(dict->entries().cend()), VarIterator::kDict, *this);
    }
    if (VarArray* list = asArray(value_)) {
        return VarIterator(Var(list->elements().cend()), VarIterator::kList, *this);
    }
    return VarIterator(*this, VarIterator::kOther, *this);
}

using DictPosition = std::unordered_map<std::string, Var>::const_iterator;
using ListPosition = std::vector<Var>::const_iterator;

VarIterator::VarIterator(Var position, int32_t kind, Var container)
    : position_(std::move(position)), kind_(kind), container_(std::move(container)) {}

VarIterator::VarIterator(const VarIterator& other)
    : position_(other.kind_ == kOther ? other.position_ : other.position_.clone(0)),
      kind_(other.kind_),
      container_(other.container_) {}

VarIterator& VarIterator::operator=(const VarIterator& other) {
    if (this != &other) *this = VarIterator(other);
    return *this;
}

Var VarIterator::operator*() const {
    if (kind_ == kDict) return Var(*position_.typedRef<DictPosition>());
    if (kind_ == kList) return *position_.typedRef<ListPosition>();
    return position_;
}

VarIterator& VarIterator::operator++() {
    if (kind_ == kDict) ++position_.typedRef<DictPosition>();
    if (kind_ == kList) ++position_.typedRef<ListPosition>();
    return *this;
}

bool VarIterator::operator==(const VarIterator& other) const {
    if (kind_ != other.kind_) return false;
    if (kind_ == kDict) return position_.typedRef<DictPosition>() == other.position_.typedRef<DictPosition>();
    if (kind_ == kList) return position_.typedRef<ListPosition>() == other.position_.typedRef<ListPosition>();
    return position_.heldPointer() == other.position_.heldPointer();
}

std::string VarIterator::key() const {
    if (kind_ == kDict) return position_.typedRef<DictPosition>()->first;
    return std::string();
}

Var VarIterator::value() const {
    if (kind_ == kDict) return position_.typedRef<DictPosition>()->second;
    if (kind_ == kList) return *position_.typedRef<ListPosition>();
    return position_;
}

// ---- exception ----

VarException::VarException(Var message) : message_(std::move(message)) {}

VarException::~VarException() = default;

const char* VarException::what() const noexcept {
    if (const void* p = message_.held().ptr(typeid(std::string))) {
        return static_cast<const std::string*>(p)->c_str();
    }
    return "VarException";
}

// ---- operators ----

Var operator+(const Var& a, const Var& b) {
    VarClass* c = a.classPtr();
    if (!c) fail(a.typeName() + " has not class to operator __add__.");
    Var result = c->call(a, "__add__", b);
    if (result.isUndefined()) {
        fail(c->className + " operator __add__ with rh: " + b.typeName() + "returned Undefined.");
    }
    return result;
}

namespace detail {

void throwCannotTreat(const Var& value, const std::string& target) {
    fail("Can not treat " + value.typeName() + " as " + target);
}

void throwUnableCast(const Var& value, const std::string& target) {
    fail("Unable cast " + value.typeName() + " to " + target);
}

Var castThroughClass(const Var& value, VarClass& target, const std::type_info& type) {
    if (VarClass* own = value.classPtr()) {
        Var method = own->attributes.typedRef<VarObject>().fetch("__" + target.className + "__");
        if (method.isFunction()) {
            Var result = method(value);
            if (result.held().ptr(type)) return result;
        }
    }
    Var init = target.initFunction;
    if (init.isFunction()) {
        Var result = init(value);
        if (result.held().ptr(type)) return result;
    }
    return Var();
}

}  // namespace detail

}  // namespace dv
