// Printing of values, functions and classes.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>

#include "dv/var.h"

using dv::Json;
using dv::Var;
using dv::VarArray;
using dv::VarClass;
using dv::VarFunction;
using dv::VarObject;

namespace {

std::string text(const Var& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// The layout written as the rule states it: texts built whole, split into
// lines and indented, with every leaf's text from its class's "__str__".
std::string referenceText(const Var& v);

std::string indentLines(const std::string& t) {
    std::istringstream lines(t);
    std::string line, out;
    while (std::getline(lines, line)) out += "  " + line + "\n";
    return out;
}

std::string referenceText(const Var& v) {
    if (v.isArray()) {
        std::vector<Var> elements = v.typedRef<VarArray>().snapshot();
        if (elements.empty()) return "[]";
        std::string t;
        for (size_t i = 0; i < elements.size(); ++i) {
            t += referenceText(elements[i]) + (i + 1 < elements.size() ? ",\n" : "\n");
        }
        return "[\n" + indentLines(t) + "]";
    }
    if (v.isObject() && v.typeName() == "object") {
        auto entries = v.typedRef<VarObject>().snapshot();
        if (entries.empty()) return "{}";
        std::string t;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i) t += ",\n";
            t += VarClass::classOf<std::string>().strFunction(Var(entries[i].first)).typedRef<std::string>();
            t += " : " + referenceText(entries[i].second);
        }
        return "{\n" + indentLines(t) + "}";
    }
    return v.classPtr()->strFunction(v).typedRef<std::string>();
}

struct Multi {};

}  // namespace

TEST(Print, BuiltinKinds) {
    struct Case {
        Var value;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {Var(), "undefined"},
        {Var::null(), "null"},
        {Var(true), "true"},
        {Var(false), "false"},
        {Var(-42), "-42"},
        {Var(0.1), "0.1"},
        {Var(1e20), "1e+20"},
        {Var(3.14159265358979), "3.14159265359"},
        {Var(1234567.891234567), "1234567.89123"},
        {Var(3.0), "3"},
        {Var("a\nb"), "\"a\\nb\""},
        {Var(std::vector<Var>{}), "[]"},
        {Var::object(), "{}"},
        {Var({"a", "b"}), "[\n  \"a\",\n  \"b\"\n]"},
        {Var::object({{"a", Var({1, 2})}}), "{\n  \"a\" : [\n    1,\n    2\n  ]\n}"},
        {Var::object({{"e", Var(std::vector<Var>{})}}), "{\n  \"e\" : []\n}"},
        {Var({Var::object(), Var({Var(std::vector<Var>{})})}), "[\n  {},\n  [\n    []\n  ]\n]"},
        {Var(dv::VarBuffer{48, "f", {3, 4}}), "<buffer 3X4Xf>"},
        {Var(dv::VarBuffer{4, "f", {}}), "<buffer f>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(text(c.value), c.expected);
        EXPECT_EQ(Json::dump(c.value), c.expected);
    }
    static const char raw[] = "raw \"text\"";
    EXPECT_EQ(text(Var(static_cast<dv::VarValue*>(new dv::VarValue_<const char*>(raw)))), raw);
}

TEST(Print, DoublesAsAStreamWithPrecision12) {
    std::vector<double> values = {0.0,     -0.0,   0.1,    1e20,   1e-5,    1e-4,          123456789012.0,
                                  1234567890123.0, 1e300,  -1e-300, 5e-324, 2.5,     HUGE_VAL, -HUGE_VAL,
                                  std::nan(""),    100000, 1e15,   0.3,    1.0 / 3, 99999999999.95,
                                  // Exact midpoints at the 13th digit round to even.
                                  1695712345.125,  1695712345.375, 1234567890125.0, 999999999999.5,
                                  0.0001220703125, 2.44140625e-05,
                                  // Around rounding carries and the notation limits.
                                  999999999999.4,  9.9999999999995, 9.99999999999949e33, 1e34, 1e-11,
                                  9.99999999999951e-12, 9.999999999995e-5, 0.000099999999999949,
                                  123456789012.5,  1e300 * 10,     2.2250738585072014e-308};
    uint64_t state = 12345;
    for (int i = 0; i < 2000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        double mantissa = static_cast<double>(state >> 11) / static_cast<double>(1ULL << 53);
        values.push_back((mantissa - 0.5) * std::pow(10.0, static_cast<int>(state % 40) - 20));
    }
    const size_t count = values.size();
    for (size_t i = 0; i < count; ++i) values.push_back(-values[i]);
    for (double d : values) {
        std::ostringstream expected;
        expected.precision(12);
        expected << d;
        EXPECT_EQ(text(Var(d)), expected.str());
    }
}

TEST(Print, ValueWithoutStr) {
    struct Opaque {};
    VarClass::classOf<Opaque>().className = "Opaque";
    Var v = Var(Opaque{});
    EXPECT_TRUE(std::regex_match(text(v), std::regex("<Opaque at 0x[0-9a-f]+>"))) << text(v);
    std::ostringstream address;
    address << static_cast<const void*>(&v.held());
    EXPECT_EQ(text(v), "<Opaque at " + address.str() + ">");
}

TEST(Print, MatchesTheLayoutRuleWithMultiLineTexts) {
    VarClass& multi = VarClass::classOf<Multi>();
    multi.className = "Multi";
    multi.def("__str__", Var(VarFunction([](const Var&) { return std::string("line1\nline2\n"); })), true);
    Var m = Var(Multi{});
    const std::vector<Var> values = {
        Var({m, Var(1), m}),
        Var::object({{"only", m}}),
        Var::object({{"x", Var({m, Var::object({{"y", m}})})}, {"z", Var("s")}, {"w", Var(2.5)}}),
        Json::load(R"({"a": {"b": [1, {"c": [true, null, "t"]}], "d": {}}, "e": [[], [1.5]]})"),
    };
    for (const Var& v : values) EXPECT_EQ(text(v), referenceText(v));
    // A dict drops the empty line after its last value's final line break.
    EXPECT_EQ(text(Var::object({{"only", m}})), "{\n  \"only\" : line1\n  line2\n}");
    EXPECT_EQ(text(Var({m})), "[\n  line1\n  line2\n  \n]");
}

TEST(Print, PrintsInsideStrAndLargeTexts) {
    // A "__str__" that prints a value itself while the outer print is going on.
    struct Wrapper {};
    VarClass& wrapper = VarClass::classOf<Wrapper>();
    wrapper.className = "Wrapper";
    wrapper.def("__str__", Var(VarFunction([](const Var&) {
                    return "wrapped " + Json::dump(Var::object({{"k", Var({1, 2})}}));
                })),
                true);
    Var v = {Var("before"), Var(Wrapper{}), Var::object({{"w", Var(Wrapper{})}}), Var(2.5)};
    EXPECT_EQ(text(v), referenceText(v));
    EXPECT_EQ(Json::dump(v), referenceText(v));

    std::ostringstream os;
    os << v.typedRef<VarArray>() << "|" << std::setw(4) << Var(7) << "|";
    EXPECT_EQ(os.str(), referenceText(v) + "|   7|");

    // A text larger than what a thread keeps between prints, then a small one.
    std::string large(9u << 20, 'x');
    large[12345] = '\n';
    std::string expected = "\"" + large.substr(0, 12345) + "\\n" + large.substr(12346) + "\"";
    EXPECT_EQ(Json::dump(Var({Var(large)})), "[\n  " + expected + "\n]");
    EXPECT_EQ(Json::dump(Var({Var("small")})), "[\n  \"small\"\n]");
}

TEST(Print, SelfContainingContainersDoNotHang) {
    Var list = {1};
    list.typedRef<VarArray>().elements().push_back(list);
    EXPECT_EQ(text(list), "[\n  1,\n  [...]\n]");
    Var dict = Var::object();
    dict[Var("me")] = dict;
    EXPECT_EQ(text(dict), "{\n  \"me\" : {...}\n}");
    list.typedRef<VarArray>().elements().clear();
    dict.typedRef<VarObject>().entries().clear();
}

TEST(Print, FunctionTextAndSignature) {
    VarFunction f([](const int& a, const double& b) { return a + static_cast<int>(b); });
    EXPECT_EQ(VarFunction::signature(f), "(int,double)->int");
    std::ostringstream os;
    os << f;
    EXPECT_EQ(os.str(), "    (int,double)->int\n");

    VarFunction documented([] { return 1; });
    documented.signatureText = "(x)->y, described";
    documented.functionName = "Thing.make";
    documented.nextOverload = Var(VarFunction([](const Var&) { return 2.0; }));
    std::ostringstream named;
    named << documented;
    EXPECT_EQ(named.str(), "Thing.make(...)\n    Thing.make(x)->y, described\n    Thing.make(var)->double\n");
    EXPECT_EQ(VarClass::classOf<VarFunction>().call(Var(documented), "__doc__", std::vector<Var>{})
                  .typedRef<std::string>(),
              named.str());
}

TEST(Print, ClassHelp) {
    VarClass bare("Bare", typeid(void));
    EXPECT_EQ(bare.helpText(), "class Bare():\n");
    bare.docText = "first line\nsecond line";
    EXPECT_EQ(bare.helpText(), "class Bare():\n|  first line\n|  second line\n");

    VarClass rich("Rich", typeid(void));
    rich.def("area", Var(VarFunction([](const Var&) { return 1.0; })), true);
    Var getter(VarFunction([](const Var&) { return 2; }));
    getter.typedRef<VarFunction>().functionName = "Rich.width";
    rich.attributes[Var("width")] = Var(VarClass::VarProperty{getter, Var()});
    EXPECT_EQ(rich.helpText(),
              "class Rich():\n"
              "|  Methods defined here:\n"
              "|  Rich.area(...)\n"
              "|      Rich.area(var)->double\n"
              "|  \n"
              "|  Property defined here:\n"
              "|  \n"
              "|  width\n"
              "|    Rich.width(...)\n"
              "|      Rich.width(var)->int\n"
              "|  \n"
              "|  \n");
    std::ostringstream os;
    os << rich;
    EXPECT_EQ(os.str(), rich.helpText());
    Var richValue(rich);
    EXPECT_EQ(VarClass::classOf<VarClass>().call(richValue, "doc", std::vector<Var>{}).typedRef<std::string>(),
              rich.helpText());
}
