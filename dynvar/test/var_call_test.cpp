// Calls, item access and dotted parameters.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarArray;
using dv::VarClass;
using dv::VarFunction;
using dv::VarObject;
using dvtest::entry;
using dvtest::messageOf;

TEST(VarCall, CallingFunctionsAndClasses) {
    Var f(VarFunction([](const int& a, const std::string& b) { return b + std::to_string(a); }));
    EXPECT_EQ(f(Var(3), std::string("n")).typedRef<std::string>(), "n3");

    Var cls(VarClass("Point", typeid(void)));
    EXPECT_EQ(messageOf([&] { cls(Var(1)); }), "Class Point does not have __init__ function.");
    VarClass& c = cls.typedRef<VarClass>();
    c.def("__init__", Var(VarFunction([](const int& x) { return Var(x * 10); })), false);
    c.def("__init__", Var(VarFunction([](const int& x, const int& y) { return Var(x + y); })), false);
    EXPECT_EQ(cls(Var(2)).typedRef<int>(), 20);
    EXPECT_EQ(cls(Var(2), Var(3)).typedRef<int>(), 5);

    EXPECT_EQ(messageOf([] { Var(5)(Var(1)); }), "int can't be called as a function or constructor.");
}

TEST(VarCall, IndexForWriting) {
    Var v;
    v[Var("a")] = 1;
    EXPECT_TRUE(v.isObject());
    EXPECT_EQ(entry(v, "a").typedRef<int>(), 1);
    // Nested keys in one expression.
    v[Var("root")][Var("box")] = std::vector<double>{1, 2};
    EXPECT_TRUE(entry(entry(v, "root"), "box").isArray());

    Var list = {1, 2, 3};
    list[Var(1)] = Var("two");
    EXPECT_EQ(list.typedRef<VarArray>()[1].typedRef<std::string>(), "two");
    list[Var(2.9)] = Var(9);  // a double index truncates
    EXPECT_EQ(list.typedRef<VarArray>()[2].typedRef<int>(), 9);

    struct Case {
        Var target;
        Var key;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Var(5), Var("a"), "int: Operator [] can't be used as a lvalue."},
        {Var::object(), Var(1), "Can not treat int as str"},
        {Var({1, 2}), Var(2), "array: Operator [] index 2 out of range (size 2)"},
        {Var({1, 2}), Var(-1), "array: Operator [] index -1 out of range (size 2)"},
        {Var({1, 2}), Var("0"), "array: Operator [] index must be a number, got str"},
        {Var({1, 2}), Var(), "array: Operator [] index must be a number, got void"},
    };
    for (const Case& t : cases) {
        Var target = t.target;
        EXPECT_EQ(messageOf([&] { target[t.key]; }), t.message);
    }
}

TEST(VarCall, IndexForReading) {
    const Var dict = Var::object({{"a", 1}});
    EXPECT_EQ(dict[Var("a")].typedRef<int>(), 1);
    EXPECT_TRUE(dict[Var("missing")].isUndefined());
    EXPECT_EQ(dict.length(), 1u);

    const Var list = {1, 2};
    EXPECT_EQ(list[Var(1)].typedRef<int>(), 2);
    EXPECT_TRUE(list[Var(2)].isUndefined());
    EXPECT_TRUE(list[Var(-1)].isUndefined());

    const Var number = 5;
    EXPECT_EQ(messageOf([&] { number[Var("x")]; }), "int: Operator [] called without property x");
    EXPECT_TRUE(number[Var(0)].isUndefined());
}

TEST(VarCall, DottedGetCreatesLevelsAndDefaults) {
    Var p;
    EXPECT_EQ(p.get<int>("a.b.c", 7, true), 7);
    ASSERT_TRUE(p.isObject());
    EXPECT_EQ(entry(entry(entry(p, "a"), "b"), "c").typedRef<int>(), 7);

    Var q = Var::object();
    EXPECT_EQ(q.get<int>("a.b", 7, false), 7);
    EXPECT_EQ(entry(q, "a.b").typedRef<int>(), 7);
    EXPECT_TRUE(entry(q, "a").isUndefined());

    // An entry that already holds the type is returned and nothing is stored.
    Var r = Var::object({{"n", 3}});
    Var held = entry(r, "n");
    EXPECT_EQ(r.get<int>("n", 1), 3);
    EXPECT_EQ(entry(r, "n").heldPointer(), held.heldPointer());

    // A converted entry is rewritten as the target type.
    Var s = Var::object({{"x", 3}, {"name", "abc"}});
    EXPECT_EQ(s.get<double>("x", 1.0), 3.0);
    EXPECT_TRUE(entry(s, "x").holds<double>());
    EXPECT_EQ(messageOf([&] { s.get<double>("name", 1.0); }), "Can not treat str as double");
    EXPECT_TRUE(entry(s, "name").holds<std::string>());
    // A string converts to int through the int constructor.
    Var t = Var::object({{"n", "12"}});
    EXPECT_EQ(t.get<int>("n", 0), 12);
    EXPECT_TRUE(entry(t, "n").holds<int>());
}

TEST(VarCall, DottedSet) {
    Var p;
    p.set("x.y", Var(1), true);
    ASSERT_TRUE(p.isObject());
    EXPECT_EQ(entry(entry(p, "x"), "y").typedRef<int>(), 1);
    p.set("x", Var(2), false);
    EXPECT_EQ(entry(p, "x").typedRef<int>(), 2);
    p.set("x.z", Var(3), false);
    EXPECT_EQ(entry(p, "x.z").typedRef<int>(), 3);

    // Through a level held elsewhere, the change is seen by every handle.
    Var level = entry(p, "x");
    Var config = Var::object({{"level", Var::object()}});
    Var shared = entry(config, "level");
    config.set("level.depth", Var(4));
    EXPECT_EQ(entry(shared, "depth").typedRef<int>(), 4);

    EXPECT_EQ(messageOf([] {
                  Var n = 5;
                  n.set("a", Var(1));
              }),
              "int: set called without property a");
}
