// Value handle, value kinds, sharing, brace lists and the exception.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarArray;
using dv::VarException;
using dv::VarObject;
using dvtest::messageOf;

namespace {

struct Widget {
    int size = 0;
};

}  // namespace

TEST(VarValue, KindsAndTheirClassNames) {
    struct Case {
        Var value;
        const char* className;
    };
    const std::vector<Case> cases = {
        {Var(), "void"},
        {Var(7), "int"},
        {Var(2.5), "double"},
        {Var(true), "bool"},
        {Var(std::string("text")), "str"},
        {Var("text"), "str"},
        {Var(uint64_t{5}), "uint64_t"},
        {Var(std::vector<Var>{}), "array"},
        {Var::object(), "object"},
        {Var(dv::VarFunction([] {})), "function"},
        {dv::VarClass::forType<int>(), "class"},
        {Var(dv::VarBuffer{}), "buffer"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.value.typeName(), c.className);
    EXPECT_TRUE(Var().isUndefined());
    EXPECT_TRUE(Var::null().isNull());
    EXPECT_TRUE(Var(std::vector<Var>{}).isArray());
    EXPECT_TRUE(Var::object().isObject());
    EXPECT_FALSE(Var(1).isObject());
}

TEST(VarValue, SharedSingletons) {
    Var a, b;
    EXPECT_EQ(a.heldPointer(), b.heldPointer());
    EXPECT_EQ(a.heldPointer(), Var::undefined().heldPointer());
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Var(nullptr).heldPointer(), Var::null().heldPointer());
    std::shared_ptr<Widget> empty;
    EXPECT_EQ(Var(empty).heldPointer(), Var::null().heldPointer());
    EXPECT_EQ(Var(empty).clone().heldPointer(), Var::null().heldPointer());
    EXPECT_EQ(Var::null().typeName(), "std::nullptr_t");
    // A moved-from handle shares Undefined again.
    Var moved(5);
    Var target(std::move(moved));
    EXPECT_TRUE(moved.isUndefined());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(target.typedRef<int>(), 5);
}

TEST(VarValue, InPlaceAssignmentIsSeenThroughEveryHandle) {
    Var a = 1;
    Var b = a;
    a = 5;  // in place: a already holds an int
    EXPECT_EQ(b.typedRef<int>(), 5);
    EXPECT_EQ(a.heldPointer(), b.heldPointer());

    a = std::string("five");  // rebinds only a
    EXPECT_EQ(b.typedRef<int>(), 5);
    EXPECT_EQ(a.typedRef<std::string>(), "five");

    Var s = std::string("x");
    Var t = s;
    s = std::string("y");
    EXPECT_EQ(t.typedRef<std::string>(), "y");
    s = "z";  // a character pointer never assigns in place
    EXPECT_EQ(t.typedRef<std::string>(), "y");
    EXPECT_EQ(s.typedRef<std::string>(), "z");

    Var d = 1.5;
    Var e = d;
    d.assign(2.5);
    EXPECT_EQ(e.typedRef<double>(), 2.5);

    // The shared Undefined value is never changed in place.
    Var u;
    u = 3;
    EXPECT_TRUE(Var().isUndefined());
    u = nullptr;
    EXPECT_TRUE(u.isNull());
}

TEST(VarValue, VectorOfDoublesAssignment) {
    Var list = std::vector<double>{1.0, 2.0, 3.0};
    ASSERT_TRUE(list.isArray());
    EXPECT_EQ(list.length(), 3u);
    EXPECT_TRUE(list.typedRef<VarArray>()[1].holds<double>());

    // A vector holder (made by the list conversion) assigns in place.
    Var holder = list.cast<std::vector<double>>();
    ASSERT_TRUE(holder.holds<std::vector<double>>());
    EXPECT_FALSE(holder.isArray());
    Var other = holder;
    holder = std::vector<double>{9.0};
    EXPECT_EQ(other.typedRef<std::vector<double>>(), std::vector<double>{9.0});
    // A holder clones to a list of doubles.
    Var cloned = holder.clone();
    ASSERT_TRUE(cloned.isArray());
    EXPECT_EQ(cloned.length(), 1u);
}

TEST(VarValue, BraceLists) {
    Var empty = Var(std::initializer_list<Var>{});
    EXPECT_TRUE(empty.isObject());
    EXPECT_EQ(empty.length(), 0u);

    Var duplicate = {{"a", 1}, {"a", 2}};
    ASSERT_TRUE(duplicate.isObject());
    EXPECT_EQ(duplicate.length(), 1u);
    EXPECT_EQ(duplicate.typedRef<VarObject>().get("a").typedRef<int>(), 1);

    Var mixed = {{"a", 1}, {2, 3}};
    ASSERT_TRUE(mixed.isArray());
    EXPECT_EQ(mixed.length(), 2u);
    EXPECT_TRUE(mixed.typedRef<VarArray>()[0].isArray());
    EXPECT_TRUE(mixed.typedRef<VarArray>()[1].isArray());

    Var onePair = {{"k", 1}};
    ASSERT_TRUE(onePair.isObject());
    EXPECT_EQ(onePair.typedRef<VarObject>().get("k").typedRef<int>(), 1);

    Var triple = {{"k", 1, 2}};
    ASSERT_TRUE(triple.isArray());
    EXPECT_EQ(triple.length(), 1u);
    EXPECT_EQ(triple.typedRef<VarArray>()[0].length(), 3u);

    Var plain = {1, 2.5, "x"};
    ASSERT_TRUE(plain.isArray());
    EXPECT_TRUE(plain.typedRef<VarArray>()[2].holds<std::string>());
}

TEST(VarValue, CloneOfScalarsAndPointers) {
    Var i = 4;
    Var c = i.clone();
    EXPECT_NE(c.heldPointer(), i.heldPointer());
    EXPECT_EQ(c.typedRef<int>(), 4);

    static const char text[] = "chars";
    Var p(static_cast<dv::VarValue*>(new dv::VarValue_<const char*>(text)));
    EXPECT_TRUE(p.holds<char>());
    EXPECT_EQ(&p.typedRef<char>(), text);
    EXPECT_TRUE(p.clone().isUndefined());

    auto widget = std::make_shared<Widget>();
    Var w(widget);
    EXPECT_EQ(w.typeName(), "(anonymous namespace)::Widget");
    EXPECT_EQ(&w.typedRef<Widget>(), widget.get());
    EXPECT_EQ(w.typedRef<std::shared_ptr<Widget>>(), widget);
    Var wc = w.clone();
    EXPECT_NE(wc.heldPointer(), w.heldPointer());
    EXPECT_EQ(wc.typedRef<std::shared_ptr<Widget>>(), widget);
    auto* holder = dynamic_cast<dv::VarValue_<std::shared_ptr<Widget>>*>(&w.held());
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->elementType(), std::type_index(typeid(Widget)));
}

TEST(VarValue, PointVectorsBecomeListsOfPoints) {
    std::vector<pt::Point3d> points = {{1, 2, 3}, {4, 5, 6}};
    Var list(points);
    ASSERT_TRUE(list.isArray());
    ASSERT_EQ(list.length(), 2u);
    EXPECT_EQ(list.typedRef<VarArray>()[1].typedRef<pt::Point3d>().y, 5);
}

TEST(VarValue, ExceptionMessage) {
    VarException text(Var("broken"));
    EXPECT_STREQ(text.what(), "broken");
    VarException number(Var(3));
    EXPECT_STREQ(number.what(), "VarException");
    VarException copy = text;
    EXPECT_EQ(copy.message().heldPointer(), text.message().heldPointer());
}

TEST(VarValue, IntConstruction) {
    Var intClass = dv::VarClass::forType<int>();
    Var seven = 7;
    EXPECT_EQ(intClass(seven).heldPointer(), seven.heldPointer());
    struct Case {
        Var argument;
        int expected;
    };
    const std::vector<Case> cases = {
        {Var("42abc"), 42}, {Var("  -17"), -17}, {Var("abc"), 0}, {Var(3.9), 3}, {Var(-3.9), -3}, {Var(true), 1},
        {Var(false), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(intClass(c.argument).typedRef<int>(), c.expected);
    std::string message = messageOf([&] { intClass(Var::object()); });
    EXPECT_NE(message.find("Can't construct int from object."), std::string::npos) << message;
    message = messageOf([&] { intClass(Var(1e300)); });
    EXPECT_NE(message.find("Can't construct int from double."), std::string::npos) << message;
}

TEST(VarValue, EqualityThroughClassesOrIdentity) {
    EXPECT_TRUE(Var(3) == Var(3));
    EXPECT_FALSE(Var(3) == Var(4));
    EXPECT_TRUE(Var(std::string("a")) == Var("a"));
    Var list1 = {1, 2};
    Var list2 = {1, 2};
    EXPECT_FALSE(list1 == list2);  // no "__eq__": identity
    Var same = list1;
    EXPECT_TRUE(list1 == same);
    EXPECT_TRUE(Var::undefined() == Var());
    EXPECT_FALSE(Var(3) == Var());
}

TEST(VarValue, RootInstanceIsADict) {
    EXPECT_TRUE(Var::instance().isObject());
    EXPECT_EQ(&Var::instance(), &Var::instance());
}
