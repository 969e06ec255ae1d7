// JSON text reader and string writer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Json;
using dv::Var;
using dv::VarArray;
using dv::VarObject;
using dvtest::entry;

namespace {

std::string loadError(const std::string& text) {
    try {
        Json::load(text);
    } catch (const dv::VarException& e) {
        return e.what();
    }
    return "(no exception)";
}

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

}  // namespace

TEST(Json, RoundTripsGiveTheSameText) {
    const std::vector<std::string> documents = {
        R"({"a": [1, 2, {"b": null}], "c": {"d": true, "e": false, "f": -3}, "g": "x", "h": 2.5})",
        "[]",
        "{}",
        R"([[], {}, [[]], {"e": {}, "l": []}])",
        R"(["tab\there", "quote\"", "back\\slash", "nl\nx", "\u0001\u001f\u007f", "slash\/",
            "uni\u00e9\u4e2d", "\ud83d\ude00", "\u2028\u2029", "\b\f\r"])",
        R"([0.1, 1e20, 1234567.891234567, -2.5e-8, 3.0, 1e-300, 123456789, 1234567890, -123456789])",
        R"({"k1": 1, "k2": 2, "k3": 3, "k4": 4, "k5": 5, "k6": 6, "k7": 7, "k8": 8, "k9": 9, "k10": 10,
            "nested": {"z": [1, {"y": [true, null]}], "a": "b", "m": {}}})",
    };
    for (const std::string& doc : documents) {
        std::string first = Json::dump(Json::load(doc));
        std::string second = Json::dump(Json::load(first));
        EXPECT_EQ(first, second) << doc;
        // An independent reader sees the same document.
        nlohmann::json expected = nlohmann::json::parse(doc);
        nlohmann::json printed = nlohmann::json::parse(first);
        if (doc.find("1234567.891234567") == std::string::npos) {
            EXPECT_EQ(printed, expected) << first;
        } else {
            EXPECT_EQ(printed.size(), expected.size());
            EXPECT_EQ(printed[2].get<double>(), 1234567.89123);
        }
    }
}

TEST(Json, ValuesAndKinds) {
    Var v = Json::load(R"({a: 1, b_2: zeta, "c": [true, false, null], d: "s"})");
    ASSERT_TRUE(v.isObject());
    EXPECT_EQ(entry(v, "a").typedRef<int>(), 1);
    EXPECT_EQ(entry(v, "b_2").typedRef<std::string>(), "zeta");
    const VarArray& c = entry(v, "c").typedRef<VarArray>();
    EXPECT_TRUE(c[0].typedRef<bool>());
    EXPECT_FALSE(c[1].typedRef<bool>());
    EXPECT_EQ(c[2].heldPointer(), Var::null().heldPointer());
    EXPECT_EQ(Json::load("test").typedRef<std::string>(), "test");
    EXPECT_EQ(Json::load("tru").typedRef<std::string>(), "tru");
    EXPECT_EQ(entry(Json::load(R"({"a": 1, "a": 2})"), "a").typedRef<int>(), 1);
    EXPECT_TRUE(Json::load("  \t\r\n 5 ").holds<int>());
}

TEST(Json, IntsUpToNineBytes) {
    struct Case {
        const char* text;
        bool isInt;
        double value;
    };
    const std::vector<Case> cases = {
        {"123456789", true, 123456789},    {"1234567890", false, 1234567890}, {"-12345678", true, -12345678},
        {"-123456789", false, -123456789}, {"0", true, 0},                    {"-0", true, 0},
        {"1.0", false, 1},                 {"1e2", false, 100},               {"2E-1", false, 0.2},
        {"1e400", false, HUGE_VAL},
    };
    for (const Case& c : cases) {
        Var v = Json::load(c.text);
        EXPECT_EQ(v.holds<int>(), c.isInt) << c.text;
        EXPECT_EQ(v.convert<double>(), c.value) << c.text;
    }
}

TEST(Json, HardFailures) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"[1 2]", "expected ',' in list, got '2' (50)"},
        {"[1,]", "expected value, got ']' (93)"},
        {"nullable", "unexpected trailing 'a' (97)"},
        {"[1] x", "unexpected trailing 'x' (120)"},
        {"01", "leading 0s not permitted in numbers"},
        {"1.", "at least one digit required in fractional part"},
        {"1e+", "at least one digit required in exponent"},
        {"-x", "invalid 'x' (120) in number"},
        {"-", "invalid (0) in number"},
        {"{1: 2}", "expected '\"' in object, got '1' (49)"},
        {R"({"a" 1})", "expected ':' in object, got '1' (49)"},
        {R"({"a": 1 "b": 2})", "expected ',' in object, got '\"' (34)"},
        {"@", "expected value, got '@' (64)"},
        {std::string("\x01", 1), "expected value, got (1)"},
        {"\xC3\xA9", "expected value, got (-61)"},
        {"[\xFF]", "expected value, got (-1)"},
        {std::string("[1,\0]", 5), "expected value, got (0)"},
        {nested(202), "exceeded maximum nesting depth"},
    };
    for (const Case& c : cases) EXPECT_EQ(loadError(c.text), c.message) << c.text;
}

TEST(Json, SoftFailuresGiveUndefined) {
    const std::vector<std::string> texts = {
        "",           "   ",         "[1, 2",     "[",          "{",           R"({"a": )",
        R"("abc)",    "\"a\x01b\"",  R"("\uZZZZ")", R"("\u12)", R"("\q")",      "\"abc\\",
        "/",          "/* open",     "/x 1",      "<no end",    "[1, /* x",   "// only a comment",
    };
    for (const std::string& text : texts) {
        Var v;
        EXPECT_NO_THROW(v = Json::load(text)) << text;
        EXPECT_EQ(v.heldPointer(), Var::undefined().heldPointer()) << text;
    }
}

TEST(Json, NestingLimit) {
    Var v = Json::load(nested(201));
    int depth = 0;
    for (Var p = v; p.isArray(); p = p.typedRef<VarArray>()[0]) ++depth;
    EXPECT_EQ(depth, 201);
    // A scalar counts as a level too.
    const std::string open(200, '['), close(200, ']');
    EXPECT_TRUE(Json::load(open + "1" + close).isArray());
    EXPECT_TRUE(Json::load(std::string(199, '[') + "{\"a\": 1}" + std::string(199, ']')).isArray());
    EXPECT_EQ(loadError(open + "{\"a\": 1}" + close), "exceeded maximum nesting depth");
}

TEST(Json, CommentsAndSkippedTexts) {
    Var v = Json::load("// line comment\n[1, /* inside */ 2] /* after */");
    ASSERT_TRUE(v.isArray());
    EXPECT_EQ(v.length(), 2u);
    EXPECT_TRUE(Json::load("<anything at all> ").isUndefined());
    Var middle = Json::load("[1, <x y z>, 3]");
    ASSERT_EQ(middle.length(), 3u);
    EXPECT_TRUE(middle.typedRef<VarArray>()[1].isUndefined());
    EXPECT_EQ(middle.typedRef<VarArray>()[2].typedRef<int>(), 3);
}

TEST(Json, StringEscapes) {
    struct Case {
        std::string text;
        std::string value;
    };
    const std::vector<Case> cases = {
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\ud83d")", "\xED\xA0\xBD"},
        {R"("\ud83dx")", "\xED\xA0\xBDx"},
        {R"("\u00e9\u4E2D")", "\xC3\xA9\xE4\xB8\xAD"},
        {R"("\b\f\n\r\t\"\\\/")", "\b\f\n\r\t\"\\/"},
        {"\"\xC3\xA9 raw\"", "\xC3\xA9 raw"},
        {R"("\u0000")", std::string(1, '\0')},
    };
    for (const Case& c : cases) EXPECT_EQ(Json::load(c.text).typedRef<std::string>(), c.value) << c.text;
}

TEST(Json, DumpString) {
    struct Case {
        std::string text;
        std::string literal;
    };
    const std::vector<Case> cases = {
        {"\t\"\x01", R"("\t\"\u0001")"},
        {"back\\slash", R"("back\\slash")"},
        {"\b\f\n\r", R"("\b\f\n\r")"},
        {"\x1f", R"("\u001f")"},
        {"\xE2\x80\xA8|\xE2\x80\xA9", R"("\u2028|\u2029")"},
        {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
        {"\xE2\x80", "\"\xE2\x80\""},
        {"plain", R"("plain")"},
        {"", R"("")"},
    };
    for (const Case& c : cases) {
        std::string out = "prefix:";
        Json::dumpString(c.text, out);
        EXPECT_EQ(out, "prefix:" + c.literal);
    }
}

TEST(Json, ModuleFunctions) {
    Var json = dv::VarClass::forType<Json>();
    dv::VarClass& c = json.typedRef<dv::VarClass>();
    Var loaded = c.call(Var(), "load", Var("[1, 2]"));
    EXPECT_EQ(loaded.length(), 2u);
    EXPECT_EQ(c.call(Var(), "dump", loaded).typedRef<std::string>(), "[\n  1,\n  2\n]");
    EXPECT_FALSE(c["load"].typedRef<dv::VarFunction>().boundAsMethod);
}
