#include "dv/builtin_classes.h"

#include <climits>
#include <cstdlib>
#include <sstream>

#include "dv/var.h"
#include "printer.h"

namespace dv {

namespace {

[[noreturn]] void fail(const std::string& text) {
    throw VarException(Var(text));
}

// 32-bit two's-complement arithmetic, computed unsigned.
int wrap(uint32_t v) {
    return static_cast<int>(v);
}

int truncateToInt(double d) {
    // Only values whose truncation fits an int convert.
    if (!(d > -2147483649.0 && d < 2147483648.0)) fail("Can't construct int from double.");
    return static_cast<int>(d);
}

template <typename Op>
Var intArithmetic(int self, const Var& other, Op op) {
    if (other.holds<int>()) return Var(op(self, other.typedRef<int>()));
    if (other.holds<double>()) return Var(op(static_cast<double>(self), other.typedRef<double>()));
    return Var();
}

int intDiv(int a, int b) {
    if (b == 0) fail("int division by zero");
    if (a == INT_MIN && b == -1) fail("int division overflow");
    return a / b;
}

// A number comparison whose right operand converts to the same type; a
// right operand that does not convert compares false.
template <typename T, typename Cmp>
Var numberComparison(const char*, Cmp cmp) {
    VarFunction f = VarFunction::fromCallable(
        [cmp](std::vector<Var>& args) -> Var {
            T self = args[0].convert<T>();
            T other;
            try {
                other = args[1].convert<T>();
            } catch (const VarException&) {
                return Var(false);
            }
            return Var(cmp(self, other));
        },
        {VarClass::forType<bool>(), VarClass::forType<T>(), VarClass::forType<T>()});
    return Var(f);
}

void defineStr(VarClass& c, detail::BuiltinStr kind, const Var& function) {
    c.def("__str__", function, true);
    detail::noteBuiltinStr(kind, c, function);
}

template <typename F>
void addStr(VarClass& c, detail::BuiltinStr kind, F f) {
    defineStr(c, kind, Var(VarFunction(std::move(f))));
}

void registerNames() {
    VarClass::classOf<int>().className = "int";
    VarClass::classOf<int64_t>().className = "int64_t";
    VarClass::classOf<uint32_t>().className = "uint32_t";
    VarClass::classOf<uint64_t>().className = "uint64_t";
    VarClass::classOf<unsigned char>().className = "uchar";
    VarClass::classOf<char>().className = "char";
    VarClass::classOf<float>().className = "float";
    VarClass::classOf<double>().className = "double";
    VarClass::classOf<std::string>().className = "str";
    VarClass::classOf<bool>().className = "bool";
    VarClass::classOf<VarDict>().className = "dict";
    VarClass::classOf<VarObject>().className = "object";
    VarClass::classOf<VarArray>().className = "array";
    VarClass::classOf<VarFunction>().className = "function";
    VarClass::classOf<VarClass>().className = "class";
    VarClass::classOf<Var>().className = "var";
    VarClass::classOf<VarBuffer>().className = "buffer";
    VarClass::classOf<VarClass::VarProperty>().className = "property";
    VarClass& voidClass = VarClass::classOf<void>();
    addStr(voidClass, detail::kVoidStr, [](const Var&) -> const char* { return "undefined"; });
    voidClass.className = "void";
}

void registerInt() {
    VarClass& c = VarClass::classOf<int>();
    c.addMethod("__init__", [](const Var& x) -> Var {
        if (x.holds<int>()) return x;
        if (x.holds<std::string>()) return Var(std::atoi(x.typedRef<std::string>().c_str()));
        if (x.holds<double>()) return Var(truncateToInt(x.typedRef<double>()));
        if (x.holds<bool>()) return Var(x.typedRef<bool>() ? 1 : 0);
        fail("Can't construct int from " + x.typeName() + ".");
    });
    c.addMethod("__double__", [](int self) -> double { return self; });
    c.addMethod("__bool__", [](int self) -> bool { return self != 0; });
    addStr(c, detail::kIntStr, [](int self) -> std::string { return std::to_string(self); });
    c.def("__eq__", numberComparison<int>("__eq__", [](int a, int b) { return a == b; }), true);
    c.def("__lt__", numberComparison<int>("__lt__", [](int a, int b) { return a < b; }), true);
    c.addMethod("__add__", [](int self, const Var& other) -> Var {
        return intArithmetic(self, other, [](auto a, auto b) {
            if constexpr (std::is_same_v<decltype(a), int>) {
                return wrap(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
            } else {
                return a + b;
            }
        });
    });
    c.addMethod("__sub__", [](int self, const Var& other) -> Var {
        return intArithmetic(self, other, [](auto a, auto b) {
            if constexpr (std::is_same_v<decltype(a), int>) {
                return wrap(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
            } else {
                return a - b;
            }
        });
    });
    c.addMethod("__mul__", [](int self, const Var& other) -> Var {
        return intArithmetic(self, other, [](auto a, auto b) {
            if constexpr (std::is_same_v<decltype(a), int>) {
                return wrap(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
            } else {
                return a * b;
            }
        });
    });
    c.addMethod("__div__", [](int self, const Var& other) -> Var {
        return intArithmetic(self, other, [](auto a, auto b) {
            if constexpr (std::is_same_v<decltype(a), int>) {
                return intDiv(a, b);
            } else {
                return a / b;
            }
        });
    });
    c.addMethod("__mod__", [](const int& self, const int& other) -> int {
        if (other == 0) fail("int modulo by zero");
        if (self == INT_MIN && other == -1) fail("int modulo overflow");
        return self % other;
    });
    c.addMethod("__neg__", [](int self) -> int { return wrap(0u - static_cast<uint32_t>(self)); });
    c.addMethod("__xor__", [](const int& a, const int& b) -> int { return a ^ b; });
    c.addMethod("__or__", [](const int& a, const int& b) -> int { return a | b; });
    c.addMethod("__and__", [](const int& a, const int& b) -> int { return a & b; });
}

void registerBool() {
    VarClass& c = VarClass::classOf<bool>();
    c.addMethod("__int__", [](bool self) -> int { return self ? 1 : 0; });
    c.addMethod("__double__", [](bool self) -> double { return self ? 1.0 : 0.0; });
    addStr(c, detail::kBoolStr, [](bool self) -> std::string { return self ? "true" : "false"; });
    c.addMethod("__eq__", [](const bool& a, const bool& b) -> bool { return a == b; });
}

void registerDouble() {
    VarClass& c = VarClass::classOf<double>();
    c.addMethod("__int__", [](double self) -> int { return truncateToInt(self); });
    c.addMethod("__bool__", [](double self) -> bool { return self != 0.0; });
    addStr(c, detail::kDoubleStr, [](double self) -> std::string {
        std::string out;
        detail::appendDouble(out, self);
        return out;
    });
    c.def("__eq__", numberComparison<double>("__eq__", [](double a, double b) { return a == b; }), true);
    c.def("__lt__", numberComparison<double>("__lt__", [](double a, double b) { return a < b; }), true);
    c.addMethod("__neg__", [](double self) -> double { return -self; });
    c.addMethod("__add__", [](double a, double b) -> double { return a + b; });
    c.addMethod("__sub__", [](double a, double b) -> double { return a - b; });
    c.addMethod("__mul__", [](double a, double b) -> double { return a * b; });
    c.addMethod("__div__", [](double a, double b) -> double { return a / b; });
    c.addMethod("__invert__", [](double self) -> double { return 1.0 / self; });
}

void registerStr() {
    VarClass& c = VarClass::classOf<std::string>();
    c.addMethod("__len__", [](const std::string& self) -> uint64_t { return self.size(); });
    addStr(c, detail::kStringStr, [](const std::string& self) -> std::string {
        std::string out;
        Json::dumpString(self, out);
        return out;
    });
    c.addMethod("__add__", [](const std::string& a, const std::string& b) -> std::string { return a + b; });
    c.addMethod("__eq__", [](const std::string& a, const std::string& b) -> bool { return a == b; });
    c.addMethod("__lt__", [](const std::string& a, const std::string& b) -> bool { return a < b; });
    VarClass::classOf<const char*>().addMethod("__str__", [](const char* self) -> std::string {
        return self ? std::string(self) : std::string();
    });
}

void registerContainers() {
    VarClass& array = VarClass::classOf<VarArray>();
    array.addMethod("__getitem__", [](const VarArray& self, const int& index) -> Var {
        if (index < 0) return Var();
        return self[static_cast<size_t>(index)];
    });
    array.addMethod("__delitem__", [](VarArray& self, const int& index) {
        Var removed;
        std::lock_guard<std::mutex> lock(self.mutex);
        if (index < 0 || static_cast<size_t>(index) >= self.elements().size()) return;
        removed = std::move(self.elements()[index]);
        self.elements().erase(self.elements().begin() + index);
    });
    addStr(array, detail::kArrayStr, [](const VarArray& self) -> std::string { return detail::listText(self); });
    array.addMethod("__add__", [](const VarArray& a, const VarArray& b) -> std::vector<Var> {
        std::vector<Var> result = a.snapshot();
        std::vector<Var> tail = b.snapshot();
        result.insert(result.end(), tail.begin(), tail.end());
        return result;
    });
    array.addMethod("__mul__", [](const VarArray& self, const int& count) -> std::vector<Var> {
        std::vector<Var> result;
        if (count <= 0) return result;
        std::vector<Var> elements = self.snapshot();
        result.reserve(elements.size() * static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) result.insert(result.end(), elements.begin(), elements.end());
        return result;
    });

    VarClass& dict = VarClass::classOf<VarDict>();
    dict.addMethod("__getitem__", [](VarDict* self, const Var& key) -> Var {
        return self ? self->get(key) : Var();
    });
    dict.addMethod("__delitem__", [](VarDict* self, const Var& key) {
        if (self) self->erase(key);
    });

    VarClass& object = VarClass::classOf<VarObject>();
    object.addMethod("__getitem__", [](const VarObject* self, const std::string& key) -> Var {
        return self ? self->get(key) : Var();
    });
    object.addMethod("__delitem__", [](VarObject& self, const std::string& key) { self.erase(key); });
    addStr(object, detail::kObjectStr, [](const VarObject& self) -> std::string { return detail::dictText(self); });
    object.addMethod("__add__", [](const VarObject& a, const VarObject& b) -> std::unordered_map<std::string, Var> {
        std::unordered_map<std::string, Var> result;
        for (auto& entry : a.snapshot()) result.emplace(std::move(entry));
        for (auto& entry : b.snapshot()) result.emplace(std::move(entry));
        return result;
    });
}

void registerOthers() {
    VarClass::classOf<VarFunction>().addMethod("__doc__", [](const VarFunction& self) -> std::string {
        std::ostringstream os;
        os << self;
        return os.str();
    });

    VarClass& cls = VarClass::classOf<VarClass>();
    cls.addMethod("__getitem__", [](VarClass& self, const std::string& name) -> Var { return self[name]; });
    cls.addMethod("doc", [](const Var& self) -> std::string { return self.typedRef<VarClass>().helpText(); });

    VarClass& json = VarClass::classOf<Json>();
    json.def("load", Var(VarFunction([](const std::string& text) -> Var { return Json::load(text); })), false);
    json.def("dump", Var(VarFunction([](const Var& value) -> std::string { return Json::dump(value); })), false);

    VarClass& buffer = VarClass::classOf<VarBuffer>();
    buffer.addMethod("size", [](const VarBuffer* self) -> uint64_t { return self ? self->byteSize : 0; });
    buffer.addMethod("__buffer__", [](const Var& self) -> Var { return self; });
    buffer.addMethod("__str__", [](const VarBuffer& self) -> std::string {
        std::string text = "<buffer ";
        for (int64_t d : self.shape) text += std::to_string(d) + "X";
        return text + self.format + ">";
    });
}

}  // namespace

BuiltinClasses::BuiltinClasses() {
    registerNames();
    VarClass* nullClass = Var::null().classPtr();
    addStr(*nullClass, detail::kNullStr, [](const Var&) -> const char* { return "null"; });
    registerInt();
    registerBool();
    registerDouble();
    registerStr();
    registerContainers();
    registerOthers();

    Var& module = Var::instance()[Var("__builtin__")];
    if (module.isUndefined()) module = Var::object();
    Var info = Var::object({{"version", Var(513)},
                            {"license", Var("BSD")},
                            {"date", Var(__DATE__)},
                            {"time", Var(__TIME__)},
                            {"Json", VarClass::forType<Json>()}});
    Var merged = info + module;
    Var::instance()[Var("__builtin__")] = merged;
}

}  // namespace dv
