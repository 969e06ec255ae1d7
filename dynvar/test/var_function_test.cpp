// Function records, overload dispatch, failure texts and call by name.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarClass;
using dv::VarException;
using dv::VarFunction;
using dvtest::messageOf;

namespace {

struct Calc {};
struct Base {};
struct Derived {};

VarClass& calcClass() {
    VarClass& c = VarClass::classOf<Calc>();
    c.className = "Calc";
    return c;
}

}  // namespace

TEST(VarFunction, RecordsTheSignature) {
    VarFunction f([](const int& a, double b) -> int { return a + static_cast<int>(b); });
    EXPECT_EQ(VarFunction::signature(f), "(int,double)->int");
    EXPECT_EQ(f.signatureClasses.size(), 3u);
    EXPECT_TRUE(f.nextOverload.isUndefined());
    EXPECT_FALSE(f.boundAsMethod);
    EXPECT_FALSE(f.registeredAsInit);
    EXPECT_TRUE(f.checkArgCount);

    VarFunction v([](Var) {});
    EXPECT_EQ(VarFunction::signature(v), "(var)->void");
    EXPECT_TRUE(v.call(Var(1)).isUndefined());

    VarFunction doc([] { return 1; });
    doc.signatureText = "custom text";
    EXPECT_EQ(VarFunction::signature(doc), "custom text");
    EXPECT_EQ(VarFunction::signature(VarFunction()), "");
}

TEST(VarFunction, ResultsBecomeValues) {
    EXPECT_EQ(VarFunction([] { return 3; }).call().typedRef<int>(), 3);
    EXPECT_EQ(VarFunction([] { return std::string("s"); }).call().typedRef<std::string>(), "s");
    EXPECT_EQ(VarFunction([]() -> const char* { return "c"; }).call().typedRef<std::string>(), "c");
    EXPECT_TRUE(VarFunction([] { return std::vector<Var>{1, 2}; }).call().isArray());
    Var same = 5;
    EXPECT_EQ(VarFunction([same] { return same; }).call().heldPointer(), same.heldPointer());
    // A plain function pointer and a string argument.
    auto twice = +[](const std::string& s) { return s + s; };
    EXPECT_EQ(VarFunction(twice).call(std::string("ab")).typedRef<std::string>(), "abab");
}

TEST(VarFunction, ArgumentCountIsChecked) {
    VarFunction none([] { return 1; });
    EXPECT_EQ(none.dispatch({}).typedRef<int>(), 1);
    std::string message = messageOf([&] { none.call(Var(1)); });
    EXPECT_NE(message.find("Failed to call method with input arguments: [int]"), std::string::npos) << message;
}

TEST(VarFunction, FailureTexts) {
    VarClass& c = calcClass();
    c.def("add", Var(VarFunction([](const int& a, const int& b) { return a + b; })), false);
    c.def("add", Var(VarFunction([](const double& a, const double& b) { return a + b; })), false);
    Var add = c["add"];
    ASSERT_TRUE(add.isFunction());
    const std::string listing =
        "Calc.add(...)\n"
        "    Calc.add(int,int)->int\n"
        "    Calc.add(double,double)->double\n";
    struct Case {
        std::vector<Var> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Wrong types: each overload's own failure, in order.
        {{Var("x"), Var(1)},
         listing + "Failed to call method with input arguments: [str,int]\n" + "Overload candidates:\n" + listing +
             "\n" + "Unable cast str to int\n" + "Unable cast str to double\n" + "Stack:\n" + listing},
        // Wrong count: no failures collected.
        {{Var(1)},
         listing + "Failed to call method with input arguments: [int]\n" + "Overload candidates:\n" + listing + "\n" +
             "Stack:\n" + listing},
    };
    for (const Case& t : cases) {
        EXPECT_EQ(messageOf([&] { add.typedRef<VarFunction>().dispatch(t.args); }), t.expected);
    }
}

TEST(VarFunction, LaterOverloadWinsWithoutTrace) {
    int firstCalls = 0;
    VarFunction first([&](const int&, const int&) {
        ++firstCalls;
        return 1;
    });
    first.nextOverload = Var(VarFunction([](const double& a, const double& b) { return a * b; }));
    Var r = first.call(Var(2.0), Var(4.0));
    EXPECT_EQ(r.typedRef<double>(), 8.0);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(first.call(Var(2), Var(4)).typedRef<int>(), 1);
}

TEST(VarFunction, OtherExceptionsPropagateAtOnce) {
    int secondCalls = 0;
    VarFunction first([](int) -> int { throw std::runtime_error("native"); });
    first.nextOverload = Var(VarFunction([&](int) { return ++secondCalls; }));
    EXPECT_THROW(first.call(Var(1)), std::runtime_error);
    EXPECT_EQ(secondCalls, 0);
    VarFunction empty;
    empty.signatureClasses = {VarClass::forType<void>()};
    EXPECT_THROW(empty.dispatch({}), std::bad_function_call);
}

TEST(VarFunction, CallStackListsNestedDispatch) {
    VarClass& c = calcClass();
    c.def("inner", Var(VarFunction([](const int& x) { return x; })), false);
    Var inner = c["inner"];
    c.def("outer", Var(VarFunction([inner](const Var& x) -> Var { return inner(x); })), false);
    Var outer = c["outer"];
    std::string message = messageOf([&] { outer(Var("s")); });
    // The inner failure text, taken while both records were inside dispatch.
    const std::string both =
        "Stack:\n"
        "Calc.outer(...)\n"
        "    Calc.outer(var)->var\n"
        "Calc.inner(...)\n"
        "    Calc.inner(int)->int\n";
    EXPECT_NE(message.find(both), std::string::npos) << message;
    // The outer failure, raised after the inner record was popped.
    const std::string outerOnly = "Stack:\nCalc.outer(...)\n    Calc.outer(var)->var\n";
    ASSERT_GE(message.size(), outerOnly.size());
    EXPECT_EQ(message.substr(message.size() - outerOnly.size()), outerOnly) << message;

    // A finished inner call leaves the stack.
    c.def("probe", Var(VarFunction([inner](const Var&) -> Var {
              inner(Var(1));
              return inner(Var("bad"));
          })),
          false);
    message = messageOf([&] { c["probe"](Var(0)); });
    size_t count = 0;
    for (size_t at = message.find("Calc.inner(...)"); at != std::string::npos;
         at = message.find("Calc.inner(...)", at + 1)) {
        ++count;
    }
    // Listing, candidates and one stack entry of the failing inner call.
    EXPECT_EQ(count, 3u) << message;
}

TEST(VarFunction, CallByName) {
    VarClass& c = calcClass();
    c.def("sizeOf", Var(VarFunction([](const Var& self) -> int { return static_cast<int>(self.length()); })), true);
    c.def("plain", Var(VarFunction([](const Var& arg) -> Var { return arg; })), false);
    Var list = {1, 2, 3};
    EXPECT_EQ(c.call(list, "sizeOf", std::vector<Var>{}).typedRef<int>(), 3);
    // Not a method: the instance is not passed.
    EXPECT_EQ(c.call(list, "plain", Var(9)).typedRef<int>(), 9);
    // Dispatched directly, a method receives only the given arguments.
    EXPECT_EQ(c["sizeOf"](Var("ab")).typedRef<int>(), 0);

    // A name present but not a function is looked up in the parents.
    c.attributes[Var("number")] = Var(5);
    std::string message = messageOf([&] { c.call(list, "number", std::vector<Var>{}); });
    EXPECT_EQ(message, "Class Calc has no function number");
}

TEST(VarFunction, CallByNameThroughParents) {
    VarClass& base = VarClass::classOf<Base>();
    base.className = "Base";
    base.def("twice", Var(VarFunction([](const int& self) { return 2 * self; })), true);
    VarClass& derived = VarClass::classOf<Derived>();
    derived.className = "Derived";
    // The first parent converts the instance to an int; the second is a plain class.
    Var converter(VarFunction([](const Var& instance) -> Var { return Var(static_cast<int>(instance.length())); }));
    derived.parentClasses = {Var(std::vector<Var>{VarClass::forType<Base>(), converter})};
    Var list = {1, 2, 3, 4};
    EXPECT_EQ(derived.call(list, "twice", std::vector<Var>{}).typedRef<int>(), 8);

    // Failures of the parents are appended to the message.
    derived.parentClasses = {VarClass::forType<Base>()};
    std::string message = messageOf([&] { derived.call(list, "missing", std::vector<Var>{}); });
    EXPECT_EQ(message, "Class Derived has no function missingClass Base has no function missing");
    derived.parentClasses.clear();
}
