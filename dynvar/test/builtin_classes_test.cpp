// Builtin classes, their operators and methods, and the builtin module.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <regex>
#include <string>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarArray;
using dv::VarClass;
using dv::VarFunction;
using dv::VarObject;
using dvtest::messageOf;

namespace {

Var method(const Var& self, const std::string& name, std::vector<Var> args = {}) {
    return self.classPtr()->call(self, name, std::move(args));
}

Var method(const Var& self, const std::string& name, const Var& arg) {
    return method(self, name, std::vector<Var>{arg});
}

// Function attributes of a class and the length of each one's chain.
std::map<std::string, size_t> methodsOf(VarClass& c) {
    std::map<std::string, size_t> out;
    for (const auto& entry : c.attributes.typedRef<VarObject>().snapshot()) {
        size_t n = 0;
        for (const Var* f = &entry.second; f->isFunction(); f = &f->typedRef<VarFunction>().nextOverload) ++n;
        if (n) out[entry.first] = n;
    }
    return out;
}

}  // namespace

TEST(BuiltinClasses, Names) {
    struct Case {
        Var value;
        const char* name;
    };
    const std::vector<Case> cases = {
        {Var(1), "int"},           {Var(int64_t{1}), "int64_t"},    {Var(1u), "uint32_t"},
        {Var(uint64_t{1}), "uint64_t"}, {Var(static_cast<unsigned char>(1)), "uchar"},
        {Var('c'), "char"},        {Var(1.0f), "float"},            {Var(1.0), "double"},
        {Var("s"), "str"},         {Var(true), "bool"},
        {Var(static_cast<dv::VarValue*>(new dv::VarDict())), "dict"},
        {Var::object(), "object"}, {Var({1}), "array"},             {Var(VarFunction([] {})), "function"},
        {VarClass::forType<int>(), "class"}, {Var(dv::VarBuffer{}), "buffer"},
        {Var(VarClass::VarProperty{}), "property"}, {Var(), "void"}, {Var::null(), "std::nullptr_t"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.value.typeName(), c.name);
    EXPECT_EQ(VarClass::classOf<Var>().className, "var");
}

TEST(BuiltinClasses, IntArithmetic) {
    struct Case {
        Var self;
        const char* name;
        Var other;
        Var expected;
    };
    const std::vector<Case> cases = {
        {Var(7), "__add__", Var(2), Var(9)},
        {Var(7), "__add__", Var(0.5), Var(7.5)},
        {Var(7), "__sub__", Var(9), Var(-2)},
        {Var(7), "__div__", Var(2), Var(3)},
        {Var(-7), "__div__", Var(2), Var(-3)},
        {Var(7), "__div__", Var(2.0), Var(3.5)},
        {Var(-7), "__mod__", Var(2), Var(-1)},
        {Var(7), "__mod__", Var(-2), Var(1)},
        {Var(65536), "__mul__", Var(65536), Var(0)},
        {Var(3), "__mul__", Var(0.5), Var(1.5)},
        {Var(INT_MAX), "__add__", Var(1), Var(INT_MIN)},
        {Var(INT_MIN), "__sub__", Var(1), Var(INT_MAX)},
        {Var(INT_MIN), "__div__", Var(1), Var(INT_MIN)},
        {Var(INT_MAX), "__div__", Var(-1), Var(-INT_MAX)},
        {Var(INT_MIN + 1), "__mod__", Var(-1), Var(0)},
        {Var(INT_MIN), "__div__", Var(-1.0), Var(2147483648.0)},
        {Var(6), "__xor__", Var(3), Var(5)},
        {Var(6), "__or__", Var(3), Var(7)},
        {Var(6), "__and__", Var(3), Var(2)},
    };
    for (const Case& c : cases) {
        Var r = method(c.self, c.name, c.other);
        EXPECT_EQ(r.typeName(), c.expected.typeName()) << c.name;
        EXPECT_TRUE(r == c.expected) << c.name << " gave " << r;
    }
    EXPECT_TRUE(method(Var(7), "__add__", Var("s")).isUndefined());
    EXPECT_TRUE(method(Var(7), "__mul__", Var()).isUndefined());
    EXPECT_EQ(method(Var(INT_MIN), "__neg__").typedRef<int>(), INT_MIN);
    EXPECT_EQ(method(Var(5), "__neg__").typedRef<int>(), -5);
    EXPECT_NE(messageOf([] { method(Var(1), "__div__", Var(0)); }).find("int division by zero"), std::string::npos);
    EXPECT_NE(messageOf([] { method(Var(1), "__mod__", Var(0)); }).find("int modulo by zero"), std::string::npos);
    // The smallest int by -1 has no int result.
    EXPECT_THROW(method(Var(INT_MIN), "__div__", Var(-1)), dv::VarException);
    EXPECT_THROW(method(Var(INT_MIN), "__mod__", Var(-1)), dv::VarException);
    EXPECT_NE(messageOf([] { method(Var(INT_MIN), "__div__", Var(-1)); }).find("int division overflow"),
              std::string::npos);
    EXPECT_NE(messageOf([] { method(Var(INT_MIN), "__mod__", Var(-1)); }).find("int modulo overflow"),
              std::string::npos);
    // "__mod__" takes its divisor as an int only.
    EXPECT_NE(messageOf([] { method(Var(1), "__mod__", Var(2.0)); }).find("Unable cast double to int"),
              std::string::npos);
    EXPECT_EQ(method(Var(0), "__bool__").typedRef<bool>(), false);
    EXPECT_EQ(method(Var(3), "__double__").typedRef<double>(), 3.0);
    EXPECT_EQ(method(Var(-12), "__str__").typedRef<std::string>(), "-12");
}

TEST(BuiltinClasses, Comparisons) {
    struct Case {
        Var self;
        const char* name;
        Var other;
        bool expected;
    };
    const std::vector<Case> cases = {
        {Var(3), "__eq__", Var(3.7), true},        {Var(3.7), "__eq__", Var(3), false},
        {Var(3), "__eq__", Var("3"), true},        {Var(3), "__lt__", Var(4), true},
        {Var(3), "__eq__", Var(), false},          {Var(3), "__lt__", Var::object(), false},
        {Var(2.0), "__lt__", Var(), false},        {Var(2.0), "__eq__", Var("x"), false},
        {Var(2.0), "__lt__", Var(true), false},    {Var(true), "__eq__", Var(true), true},
        {Var("ab"), "__lt__", Var("b"), true},     {Var("ab"), "__eq__", Var("ab"), true},
        {Var("b"), "__lt__", Var("ab"), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(method(c.self, c.name, c.other).typedRef<bool>(), c.expected)
            << c.self << " " << c.name << " " << c.other;
    }
    // Other comparisons keep their exact-type rules.
    EXPECT_NE(messageOf([] { (void)(Var("a") == Var(1)); }).find("Unable cast int to str"), std::string::npos);
    EXPECT_NE(messageOf([] { (void)(Var(true) == Var(1)); }).find("Unable cast int to bool"), std::string::npos);
    EXPECT_FALSE(Var(1) == Var());
}

TEST(BuiltinClasses, DoubleAndBool) {
    EXPECT_EQ(method(Var(2.0), "__invert__").typedRef<double>(), 0.5);
    EXPECT_FALSE(method(Var(0.0), "__bool__").typedRef<bool>());
    EXPECT_FALSE(method(Var(-0.0), "__bool__").typedRef<bool>());
    EXPECT_TRUE(method(Var(std::nan("")), "__bool__").typedRef<bool>());
    EXPECT_EQ(method(Var(-3.9), "__int__").typedRef<int>(), -3);
    EXPECT_EQ(method(Var(2.5), "__neg__").typedRef<double>(), -2.5);
    EXPECT_EQ(method(Var(2.5), "__add__", Var(1)).typedRef<double>(), 3.5);
    EXPECT_TRUE(std::isinf(method(Var(1.0), "__div__", Var(0.0)).typedRef<double>()));
    EXPECT_NE(messageOf([] { method(Var(1.0), "__add__", Var("x")); }).find("Unable cast str to double"),
              std::string::npos);
    EXPECT_NE(messageOf([] { method(Var(std::nan("")), "__int__"); }).find("Can't construct int from double."),
              std::string::npos);
    EXPECT_EQ(method(Var(true), "__int__").typedRef<int>(), 1);
    EXPECT_EQ(method(Var(false), "__double__").typedRef<double>(), 0.0);
    EXPECT_EQ(method(Var(true), "__str__").typedRef<std::string>(), "true");
}

TEST(BuiltinClasses, Strings) {
    EXPECT_EQ(method(Var("ab"), "__str__").typedRef<std::string>(), "\"ab\"");
    Var length = method(Var("ab"), "__len__");
    ASSERT_TRUE(length.holds<uint64_t>());
    EXPECT_EQ(length.typedRef<uint64_t>(), 2u);
    EXPECT_EQ(method(Var("ab"), "__add__", Var("cd")).typedRef<std::string>(), "abcd");
    EXPECT_NE(messageOf([] { method(Var("ab"), "__add__", Var(1)); }).find("Unable cast int to str"),
              std::string::npos);
}

TEST(BuiltinClasses, Arrays) {
    Var one = Var("shared");
    Var list = {1, one};
    Var tripled = method(list, "__mul__", Var(3));
    EXPECT_EQ(Var::undefined().typeName(), "void");
    ASSERT_EQ(tripled.length(), 6u);
    EXPECT_EQ(tripled.typedRef<VarArray>()[3].heldPointer(), one.heldPointer());
    EXPECT_EQ(dv::Json::dump(method(Var({1, 2}), "__mul__", Var(3))), dv::Json::dump(dv::Json::load("[1,2,1,2,1,2]")));
    EXPECT_EQ(method(list, "__mul__", Var(0)).length(), 0u);
    EXPECT_EQ(method(list, "__mul__", Var(-2)).length(), 0u);
    EXPECT_TRUE(method(tripled, "__getitem__", Var(6)).isUndefined());
    EXPECT_TRUE(method(tripled, "__getitem__", Var(-1)).isUndefined());
    EXPECT_EQ(method(tripled, "__getitem__", Var(2)).typedRef<int>(), 1);

    Var joined = method(list, "__add__", Var({3}));
    ASSERT_EQ(joined.length(), 3u);
    EXPECT_EQ(joined.typedRef<VarArray>()[1].heldPointer(), one.heldPointer());
    EXPECT_EQ(list.length(), 2u);

    method(joined, "__delitem__", Var(0));
    EXPECT_EQ(joined.length(), 2u);
    EXPECT_EQ(joined.typedRef<VarArray>()[0].heldPointer(), one.heldPointer());
    method(joined, "__delitem__", Var(5));
    EXPECT_EQ(joined.length(), 2u);
    EXPECT_EQ((list + Var({9})).length(), 3u);
}

TEST(BuiltinClasses, Objects) {
    Var left = Var::object({{"a", 1}});
    Var right = Var::object({{"a", 2}, {"b", 3}});
    Var merged = left + right;
    EXPECT_EQ(merged.typedRef<VarObject>().get("a").typedRef<int>(), 1);
    EXPECT_EQ(merged.typedRef<VarObject>().get("b").typedRef<int>(), 3);
    EXPECT_EQ(left.length(), 1u);
    EXPECT_EQ(right.length(), 2u);
    Var self = left + left;
    EXPECT_NE(self.heldPointer(), left.heldPointer());
    EXPECT_EQ(self.length(), 1u);

    method(right, "__delitem__", Var("a"));
    EXPECT_EQ(right.length(), 1u);
    method(right, "__delitem__", Var("missing"));
    EXPECT_EQ(right.length(), 1u);
    EXPECT_EQ(method(right, "__getitem__", Var("b")).typedRef<int>(), 3);
    EXPECT_TRUE(method(right, "__getitem__", Var("a")).isUndefined());
}

TEST(BuiltinClasses, HandleAddition) {
    EXPECT_EQ((Var(1) + Var(2)).typedRef<int>(), 3);
    EXPECT_EQ((Var("a") + Var("b")).typedRef<std::string>(), "ab");
    EXPECT_EQ(messageOf([] { Var(1) + Var("x"); }), "int operator __add__ with rh: strreturned Undefined.");
    EXPECT_EQ(messageOf([] { Var() + Var(1); }), "Class void has no function __add__");
}

TEST(BuiltinClasses, OrderedDict) {
    Var dict(static_cast<dv::VarValue*>(new dv::VarDict()));
    dict[Var(3)] = Var("three");
    dict[Var(1)] = Var("one");
    dict[Var(3.5)] = Var("three and a half");
    // 3.5 and 3 are equivalent keys: int 3 "__lt__" 3.5 compares 3 < 3.
    const dv::VarDict& d = dict.typedRef<dv::VarDict>();
    ASSERT_EQ(d.length(), 2u);
    EXPECT_EQ(d.value.begin()->first.typedRef<int>(), 1);
    const Var& readOnly = dict;
    EXPECT_EQ(readOnly[Var(1)].typedRef<std::string>(), "one");
    EXPECT_EQ(readOnly[Var(3)].typedRef<std::string>(), "three and a half");
    EXPECT_TRUE(readOnly[Var(7)].isUndefined());
    method(dict, "__delitem__", Var(3.2));
    EXPECT_EQ(d.length(), 1u);
    EXPECT_EQ(dict.clone(1).length(), 1u);
}

TEST(BuiltinClasses, ClassesAndFunctions) {
    Var intClass = VarClass::forType<int>();
    const Var& readOnly = intClass;
    EXPECT_TRUE(readOnly[Var("__add__")].isFunction());
    EXPECT_NE(method(intClass, "doc").typedRef<std::string>().find("class int():\n|  Methods defined here:\n"),
              std::string::npos);
    Var f = readOnly[Var("__add__")];
    EXPECT_EQ(method(f, "__doc__").typedRef<std::string>(), "int.__add__(...)\n    int.__add__(int,var)->var\n");
}

TEST(BuiltinClasses, Module) {
    Var module = Var::instance().typedRef<VarObject>().get("__builtin__");
    ASSERT_TRUE(module.isObject());
    const VarObject& m = module.typedRef<VarObject>();
    EXPECT_EQ(m.get("version").typedRef<int>(), 513);
    EXPECT_EQ(m.get("license").typedRef<std::string>(), "BSD");
    EXPECT_TRUE(std::regex_match(m.get("date").typedRef<std::string>(),
                                 std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}")));
    EXPECT_TRUE(std::regex_match(m.get("time").typedRef<std::string>(), std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}")));
    EXPECT_EQ(m.get("Json").heldPointer(), VarClass::forType<dv::Json>().heldPointer());
}

TEST(BuiltinClasses, RegistrationRunsAgainToTheSameState) {
    std::vector<VarClass*> classes = {
        &VarClass::classOf<int>(),       &VarClass::classOf<bool>(),      &VarClass::classOf<double>(),
        &VarClass::classOf<std::string>(), &VarClass::classOf<const char*>(), &VarClass::classOf<VarArray>(),
        &VarClass::classOf<dv::VarDict>(), &VarClass::classOf<VarObject>(), &VarClass::classOf<VarFunction>(),
        &VarClass::classOf<VarClass>(),  &VarClass::classOf<dv::Json>(),  &VarClass::classOf<dv::VarBuffer>(),
        &VarClass::classOf<void>(),      Var::null().classPtr(),
    };
    std::vector<std::map<std::string, size_t>> before;
    for (VarClass* c : classes) before.push_back(methodsOf(*c));
    Var oldModule = Var::instance().typedRef<VarObject>().get("__builtin__");
    dv::BuiltinClasses again;
    (void)again;
    for (size_t i = 0; i < classes.size(); ++i) {
        EXPECT_EQ(methodsOf(*classes[i]), before[i]) << classes[i]->className;
        for (const auto& entry : before[i]) EXPECT_EQ(entry.second, 1u) << classes[i]->className << "." << entry.first;
    }
    EXPECT_EQ(methodsOf(VarClass::classOf<int>()).size(), 15u);
    Var newModule = Var::instance().typedRef<VarObject>().get("__builtin__");
    EXPECT_NE(newModule.heldPointer(), oldModule.heldPointer());
    EXPECT_EQ(newModule.length(), oldModule.length());
    EXPECT_EQ(dv::Json::dump(newModule), dv::Json::dump(oldModule));
}
