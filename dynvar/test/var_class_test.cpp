// Class records: def, cached special functions, lookup through parents, properties.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarClass;
using dv::VarFunction;
using dv::VarObject;
using dvtest::messageOf;

namespace {

Var newClass(const std::string& name, const std::vector<Var>& parents = {}) {
    return Var(VarClass(name, typeid(void), parents));
}

size_t chainLength(const Var& f) {
    size_t n = 0;
    for (const Var* p = &f; p->isFunction(); p = &p->typedRef<VarFunction>().nextOverload) ++n;
    return n;
}

}  // namespace

TEST(VarClass, DefKeepsOneFunctionPerSignature) {
    Var cls = newClass("Shape");
    VarClass& c = cls.typedRef<VarClass>();
    Var first(VarFunction([](const int& x) { return x; }));
    c.def("f", first, true);
    c.def("f", Var(VarFunction([](const int& x) { return x + 1; })), true);
    EXPECT_EQ(chainLength(c["f"]), 1u);
    EXPECT_EQ(c["f"].heldPointer(), first.heldPointer());
    EXPECT_EQ(first.typedRef<VarFunction>().functionName, "Shape.f");
    EXPECT_TRUE(first.typedRef<VarFunction>().boundAsMethod);

    Var second(VarFunction([](const double& x) { return x; }));
    c.def("f", second, false);
    ASSERT_EQ(chainLength(c["f"]), 2u);
    EXPECT_EQ(first.typedRef<VarFunction>().nextOverload.heldPointer(), second.heldPointer());
    EXPECT_FALSE(second.typedRef<VarFunction>().boundAsMethod);
    // Defining a function that is already in the chain adds nothing.
    c.def("f", second, false);
    EXPECT_EQ(chainLength(c["f"]), 2u);
}

TEST(VarClass, SpecialFunctionsAreCachedOnce) {
    Var cls = newClass("Maker");
    VarClass& c = cls.typedRef<VarClass>();
    Var f(VarFunction([](const int& x) { return x; }));
    Var g(VarFunction([](const double& x) { return x; }));
    c.def("__init__", f, false);
    c.def("__init__", g, false);
    EXPECT_EQ(c.initFunction.heldPointer(), f.heldPointer());
    EXPECT_TRUE(f.typedRef<VarFunction>().registeredAsInit);
    EXPECT_EQ(f.typedRef<VarFunction>().nextOverload.heldPointer(), g.heldPointer());

    Var s1(VarFunction([](const Var&) { return std::string("one"); }));
    Var s2(VarFunction([](const Var&, const Var&) { return std::string("two"); }));
    c.def("__str__", s1, true);
    c.def("__str__", s2, true);
    EXPECT_EQ(c.strFunction.heldPointer(), s1.heldPointer());
    c.def("__getitem__", s1, true);
    c.def("__setitem__", s2, true);
    EXPECT_EQ(c.getItemFunction.heldPointer(), s1.heldPointer());
    EXPECT_EQ(c.setItemFunction.heldPointer(), s2.heldPointer());
}

TEST(VarClass, LookupThroughParents) {
    Var grand = newClass("Grand");
    grand.typedRef<VarClass>().def("size", Var(VarFunction([] { return 1; })), true);
    Var parentA = newClass("A");
    Var parentB = newClass("B", {grand});
    Var child = newClass("Child", {parentA, parentB});
    VarClass& c = child.typedRef<VarClass>();

    Var found = c["size"];
    EXPECT_TRUE(found.isFunction());
    // The name is now cached in the child, and A keeps an Undefined entry.
    EXPECT_EQ(c.attributes.typedRef<VarObject>().get("size").heldPointer(), found.heldPointer());
    const VarObject& aAttributes = parentA.typedRef<VarClass>().attributes.typedRef<VarObject>();
    EXPECT_EQ(aAttributes.entries().count("size"), 1u);
    EXPECT_TRUE(aAttributes.get("size").isUndefined());

    Var lonely = newClass("Lonely");
    EXPECT_TRUE(lonely.typedRef<VarClass>()["nothing"].isUndefined());
    EXPECT_EQ(lonely.typedRef<VarClass>().attributes.length(), 1u);

    // A [class, converter] parent is not a class for attribute lookup.
    Var odd = newClass("Odd", {Var(std::vector<Var>{grand, Var(VarFunction([](const Var& v) { return v; }))})});
    EXPECT_EQ(messageOf([&] { odd.typedRef<VarClass>()["size"]; }), "Can not treat array as class");
}

TEST(VarClass, ParentCycleFailsInsteadOfRecursing) {
    Var a = newClass("Loop");
    a.typedRef<VarClass>().parentClasses.push_back(a);
    std::string message = messageOf([&] { a.typedRef<VarClass>()["x"]; });
    EXPECT_NE(message.find("nested too deep"), std::string::npos) << message;
    a.typedRef<VarClass>().parentClasses.clear();
}

TEST(VarClass, Properties) {
    Var cls = newClass("Box");
    VarClass& c = cls.typedRef<VarClass>();
    Var getter(VarFunction([](const Var& self) -> Var { return Var(static_cast<int>(self.length())); }));
    c.attributes[Var("size")] = Var(VarClass::VarProperty{getter, Var()});
    Var stored;
    Var setter(VarFunction([&stored](const Var&, const Var& value) { stored = value; }));
    c.attributes[Var("label")] = Var(VarClass::VarProperty{getter, setter});

    // Named access on an instance of a class without "__getitem__".
    struct BoxValue {};
    VarClass& boxClass = VarClass::classOf<BoxValue>();
    boxClass.attributes = c.attributes;
    Var value = Var(BoxValue{});
    const Var& constValue = value;
    EXPECT_EQ(constValue[Var("size")].typedRef<int>(), 0);
    EXPECT_EQ(value.get<int>("size", 5), 0);
    value.set("label", Var("hi"));
    EXPECT_EQ(stored.typedRef<std::string>(), "hi");
    const std::string name = value.typeName();
    EXPECT_EQ(messageOf([&] { value.set("size", Var(1)); }), name + ": property size is readonly.");
    EXPECT_EQ(messageOf([&] { value.set("other", Var(1)); }), name + ": set called without property other");
    EXPECT_EQ(messageOf([&] { value.get<int>("other", 1); }), name + ": get called without property other");
    EXPECT_EQ(messageOf([&] { constValue[Var("other")]; }), name + ": Operator [] called without property other");
    EXPECT_TRUE(constValue[Var(3)].isUndefined());
}

TEST(VarClass, ForTypeOfANewType) {
    struct NeverSeen {};
    Var& cls = VarClass::forType<NeverSeen>();
    EXPECT_EQ(&cls, &VarClass::forType<NeverSeen>());
    VarClass& record = VarClass::classOf<NeverSeen>();
    EXPECT_EQ(record.className, dv::detail::typeNameOf(typeid(NeverSeen)));
    EXPECT_NE(record.className.find("NeverSeen"), std::string::npos);
    EXPECT_EQ(record.nativeType, std::type_index(typeid(NeverSeen)));
    EXPECT_EQ(record.attributes.length(), 0u);
    EXPECT_TRUE(record.parentClasses.empty());
    // Installing a record keeps the class object's identity.
    const void* before = &cls.held();
    cls.assign(VarClass("Renamed", typeid(NeverSeen)));
    EXPECT_EQ(&cls.held(), before);
    EXPECT_EQ(record.className, "Renamed");
}
