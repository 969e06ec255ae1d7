#include "fw/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

// Pads like the report: name and value, each left-aligned in 39 columns.
std::string entryLine(const std::string& name, const std::string& value) {
    std::string line = name;
    if (line.size() < 39) line.append(39 - line.size(), ' ');
    line += "  " + value;
    if (value.size() < 39) line.append(39 - value.size(), ' ');
    return line + "\n";
}

const std::string kHead =
    "================================== Var report ===============================\n"
    "NAME                                     VALUE                                \n";
const std::string kRule = "------------------------------------------------------------------------------\n";
const std::string kTail = "=============================== End of Var report ===========================\n\n";

// Sets an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() { ::unsetenv(name_.c_str()); }

private:
    std::string name_;
};

}  // namespace

struct NumberCase {
    const char* text;
    int intValue;     // GetInt with default 5
    double doubleValue;  // GetDouble with default 0.25
};

// Test names show the text, blanks as '_'.
void PrintTo(const NumberCase& c, std::ostream* os) {
    std::string text = c.text;
    if (text.empty()) text = "(empty)";
    for (char& ch : text) {
        if (ch == ' ') ch = '_';
        else if (ch == '\t') ch = '~';
    }
    *os << text;
}

class SettingsNumberText : public testing::TestWithParam<NumberCase> {};

TEST_P(SettingsNumberText, ReadsLikeStreamExtraction) {
    const NumberCase& c = GetParam();
    fw::Settings store;
    store.setvar("n.int", c.text, false);
    store.setvar("n.double", c.text, false);
    EXPECT_EQ(store.GetInt("n.int", 5), c.intValue) << "text '" << c.text << "'";
    EXPECT_DOUBLE_EQ(store.GetDouble("n.double", 0.25), c.doubleValue) << "text '" << c.text << "'";
}

INSTANTIATE_TEST_SUITE_P(Texts, SettingsNumberText,
                         testing::Values(NumberCase{"12abc", 12, 12.0}, NumberCase{" 7", 7, 7.0},
                                         NumberCase{"abc", 0, 0.0}, NumberCase{"  ", 5, 0.25},
                                         NumberCase{"", 5, 0.25}, NumberCase{"-3", -3, -3.0},
                                         NumberCase{"1.5x", 1, 1.5}, NumberCase{"\t2e3", 2, 2000.0},
                                         NumberCase{"99999999999", std::numeric_limits<int>::max(), 99999999999.0}));

TEST(Settings, GetStringTakesTextUnchanged) {
    fw::Settings store;
    store.setvar("s.text", "  a b  ", false);
    EXPECT_EQ(store.GetString("s.text", "x"), "  a b  ");
    EXPECT_EQ(store.GetString("s.missing", "dflt"), "dflt");
}

TEST(Settings, TypedEntryWinsOverTextUntilOverwritten) {
    fw::Settings store;
    int& ref = store.GetInt("m.value", 3);
    EXPECT_EQ(ref, 3);
    store.setvar("m.value", "9", false);
    EXPECT_EQ(store.GetInt("m.value", 0), 3);

    EXPECT_FALSE(store.setvar("m.value", "42", false));
    EXPECT_EQ(ref, 3);
    EXPECT_FALSE(store.setvar("m.value", "42", true));
    EXPECT_EQ(ref, 42);
    EXPECT_EQ(&store.GetInt("m.value", 0), &ref);
}

TEST(Settings, DefaultIsStoredByTheFirstRead) {
    fw::Settings store;
    EXPECT_DOUBLE_EQ(store.GetDouble("m.ratio", 0.25), 0.25);
    EXPECT_DOUBLE_EQ(store.GetDouble("m.ratio", 1.0), 0.25);
    EXPECT_EQ(store.GetString("m.name", "first"), "first");
    EXPECT_EQ(store.GetString("m.name", "second"), "first");
}

TEST(Settings, EnvironmentComesAfterTextAndIsNotRecordedAsText) {
    ScopedEnv env("fwtest.dense_thread_num", "6");
    ScopedEnv shadowed("fwtest.shadowed", "100");
    fw::Settings store;
    store.setvar("fwtest.shadowed", "7", false);
    EXPECT_EQ(store.GetInt("fwtest.dense_thread_num", 4), 6);
    EXPECT_EQ(store.GetInt("fwtest.shadowed", 4), 7);

    const std::string expected = kHead + kRule + entryLine("fwtest.dense_thread_num", "6") +
                                 entryLine("fwtest.shadowed", "7") + kRule + entryLine("fwtest.shadowed", "7") + kTail;
    EXPECT_EQ(store.reportText(), expected);
}

TEST(Settings, ModeOneRecordsTheDefaultAsText) {
    fw::Settings store;
    store.GetInt("d.int", -5, 1);
    store.GetDouble("d.double", 0.5, 1);
    store.GetString("d.string", "abc", 1);
    store.GetInt("d.plain", 8, 0);
    EXPECT_EQ(store.GetString("d.int", ""), "-5");
    EXPECT_EQ(store.GetString("d.double", ""), "0.500000000000");
    EXPECT_EQ(store.GetInt("d.string", 1), 0);
    EXPECT_TRUE(store.setvar("d.plain", "x", false));   // mode 0 left no text
    EXPECT_FALSE(store.setvar("d.double", "x", false));  // mode 1 did
}

TEST(Settings, SetvarOverwriteUpdatesEveryTypedEntry) {
    fw::Settings store;
    int& i = store.GetInt("k", 1);
    double& d = store.GetDouble("k", 1.0);
    std::string& s = store.GetString("k", "one");
    EXPECT_TRUE(store.setvar("k", "2.5", true));
    EXPECT_EQ(i, 2);
    EXPECT_DOUBLE_EQ(d, 2.5);
    EXPECT_EQ(s, "2.5");
}

TEST(Settings, SetvarWithBadNumberChangesNothing) {
    fw::Settings store;
    int& i = store.GetInt("k", 1);
    double& d = store.GetDouble("k", 1.5);
    std::string& s = store.GetString("k", "one");
    store.setvar("k", "10", false);

    EXPECT_THROW(store.setvar("k", "abc", true), std::invalid_argument);
    EXPECT_THROW(store.setvar("k", "99999999999", true), std::out_of_range);  // fits a double, not an int
    EXPECT_EQ(i, 1);
    EXPECT_DOUBLE_EQ(d, 1.5);
    EXPECT_EQ(s, "one");
    // The text map kept its old text.
    EXPECT_NE(store.reportText().find(entryLine("k", "10")), std::string::npos);

    // The store still works after a failure.
    EXPECT_FALSE(store.setvar("k", "12", true));
    EXPECT_EQ(i, 12);

    // A failing double leaves the string entry alone too.
    double& d2 = store.GetDouble("k2", 1.5);
    std::string& s2 = store.GetString("k2", "two");
    EXPECT_THROW(store.setvar("k2", "1e999", true), std::out_of_range);
    EXPECT_DOUBLE_EQ(d2, 1.5);
    EXPECT_EQ(s2, "two");
}

TEST(Settings, SetvarWithoutOverwriteIgnoresBadNumbers) {
    fw::Settings store;
    store.GetInt("k", 1);
    EXPECT_TRUE(store.setvar("k", "abc", false));
    EXPECT_EQ(store.GetInt("k", 0), 1);
}

TEST(Settings, LoadJsonJoinsKeysAndWritesLeavesAsText) {
    fw::Settings store;
    const nlohmann::json config = nlohmann::json::parse(
        R"({"a": {"b": 1.5, "c": true, "deep": {"x": -2}}, "d": "x", "e": [1, 2], "f": null,
            "g": false, "h": 3, "i": 4.0, "j": {"k": [{"l": 1}]}, "u": 18446744073709551615})");
    fw::Settings::loadJson(config, store, "");
    const struct {
        const char* key;
        const char* text;
    } expected[] = {{"a.b", "1.5"},  {"a.c", "1"},  {"a.deep.x", "-2"},        {"d", "x"},
                    {"e", "[1,2]"}, {"f", "null"}, {"g", "0"},                 {"h", "3"},
                    {"i", "4.0"},   {"j.k", "[{\"l\":1}]"}, {"u", "18446744073709551615"}};
    for (const auto& e : expected) EXPECT_EQ(store.GetString(e.key, "missing"), e.text) << e.key;
    EXPECT_EQ(store.GetString("a", "missing"), "missing");
}

TEST(Settings, LoadJsonPrefixArraysAndOverwrite) {
    fw::Settings store;
    int& flag = store.GetInt("p.flag", 0);
    store.setvar("p.name", "old", false);
    fw::Settings::loadJson(nlohmann::json::parse(R"({"flag": true, "name": "new"})"), store, "p.");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(store.GetString("p.name", ""), "new");

    fw::Settings::loadJson(nlohmann::json::parse(R"(["zero", {"one": 1}])"), store, "arr.");
    EXPECT_EQ(store.GetString("arr.0", ""), "zero");
    EXPECT_EQ(store.GetString("arr.1.one", ""), "1");
}

TEST(Settings, LoadJsonOfAScalarLoadsNothing) {
    fw::Settings store;
    testing::internal::CaptureStderr();
    fw::Settings::loadJson(nlohmann::json(3), store, "");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("nothing loaded"), std::string::npos);
    EXPECT_EQ(store.reportText(), "");
}

TEST(Settings, LoadJsonStopsAtABadNumberWithoutApplyingIt) {
    fw::Settings store;
    int& n = store.GetInt("n", 4);
    EXPECT_THROW(fw::Settings::loadJson(nlohmann::json::parse(R"({"a": "ok", "n": "many"})"), store, ""),
                 std::invalid_argument);
    EXPECT_EQ(store.GetString("a", ""), "ok");
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(store.setvar("n", "5", false));  // the failed leaf left no text
}

TEST(Settings, GetPoint3dReadsTextAndSharesTheCacheAcrossStores) {
    fw::Settings first;
    fw::Settings second;
    first.setvar("pt.two", "1 2", false);
    second.setvar("pt.two", "7 8 9", false);
    pt::Point3d p = first.GetPoint3d("pt.two", pt::Point3d(5, 5, 5));
    EXPECT_EQ(p.x, 1.0);
    EXPECT_EQ(p.y, 2.0);
    EXPECT_EQ(p.z, 0.0);
    p = second.GetPoint3d("pt.two", pt::Point3d(5, 5, 5));
    EXPECT_EQ(p.x, 1.0);
    EXPECT_EQ(p.z, 0.0);

    first.setvar("pt.bad", "1 x 3", false);
    p = first.GetPoint3d("pt.bad", pt::Point3d(5, 5, 5));
    EXPECT_EQ(p.x, 1.0);
    EXPECT_EQ(p.y, 0.0);
    EXPECT_EQ(p.z, 0.0);

    p = first.GetPoint3d("pt.none", pt::Point3d(4, 5, 6));
    EXPECT_EQ(p.z, 6.0);
    p = second.GetPoint3d("pt.none", pt::Point3d(0, 0, 0));
    EXPECT_EQ(p.z, 6.0);
}

TEST(Settings, GetPoint3dFallsBackToTheEnvironment) {
    ScopedEnv env("pt.fromenv", "  -1.5\t2.5 3.5 extra");
    fw::Settings store;
    const pt::Point3d p = store.GetPoint3d("pt.fromenv", pt::Point3d());
    EXPECT_EQ(p.x, -1.5);
    EXPECT_EQ(p.y, 2.5);
    EXPECT_EQ(p.z, 3.5);
}

TEST(Settings, ReportLayout) {
    fw::Settings store;
    EXPECT_EQ(store.reportText(), "");

    store.GetInt("b.int", 12);
    store.GetDouble("c.double", 1234567.0);
    store.GetDouble("a.double", 0.1);
    store.setvar("t.text", "hello", false);
    const std::string longName = "a.name.that.is.much.longer.than.thirty.nine.characters";
    store.setvar(longName, "v", false);
    const std::string expected = kHead + kRule + entryLine("b.int", "12") + kRule + entryLine("a.double", "0.1") +
                                 entryLine("c.double", "1.23457e+06") + kRule + entryLine(longName, "v") +
                                 entryLine("t.text", "hello") + kTail;
    EXPECT_EQ(store.reportText(), expected);
    EXPECT_NE(expected.find(longName + "  v"), std::string::npos);
}

TEST(Settings, ReportOfTextsOnlyHasTheRuleBeforeThem) {
    fw::Settings store;
    store.setvar("only", "text", false);
    EXPECT_EQ(store.reportText(), kHead + kRule + entryLine("only", "text") + kTail);
}

TEST(Settings, DestructorPrintsTheReportWhenAsked) {
    auto store = std::make_unique<fw::Settings>();
    store->setvar("Settings.DumpAllVars", "1", false);
    store->setvar("x", "y", false);
    testing::internal::CaptureStdout();
    store.reset();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n" + kHead + kRule + entryLine("Settings.DumpAllVars", "1") + kRule +
                       entryLine("Settings.DumpAllVars", "1") + entryLine("x", "y") + kTail);
}

TEST(Settings, DestructorIsQuietUnlessAsked) {
    for (const char* text : {"0", "abc", ""}) {
        auto store = std::make_unique<fw::Settings>();
        store->setvar("Settings.DumpAllVars", text, false);
        testing::internal::CaptureStdout();
        store.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "text '" << text << "'";
    }
    auto store = std::make_unique<fw::Settings>();
    store->setvar("x", "y", false);
    testing::internal::CaptureStdout();
    store.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Settings, DestructorReadsTheSwitchFromTheEnvironment) {
    ScopedEnv env("Settings.DumpAllVars", "2");
    auto store = std::make_unique<fw::Settings>();
    testing::internal::CaptureStdout();
    store.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n" + kHead + kRule + entryLine("Settings.DumpAllVars", "2") + kRule + kTail);
}

TEST(Settings, InstanceIsOneStore) {
    fw::Settings& a = fw::Settings::instance();
    fw::Settings& b = fw::Settings::instance();
    EXPECT_EQ(&a, &b);
    a.setvar("instance.key", "3", false);
    EXPECT_EQ(b.GetInt("instance.key", 0), 3);
}
