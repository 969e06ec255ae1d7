// Typed access and conversions with their messages.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dv/var.h"
#include "test_helpers.h"

using dv::Var;
using dv::VarArray;
using dv::VarClass;
using dv::VarDict;
using dv::VarObject;
using dvtest::messageOf;

namespace {

struct Frame {
    int id = 0;
};

}  // namespace

TEST(VarAccess, Messages) {
    struct Case {
        std::function<void()> access;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[] { Var(1).typedRef<double>(); }, "Can not treat int as double"},
        {[] { Var(2.5).convertRef<int>(); }, "Unable cast double to int"},
        {[] { Var("x").convert<double>(); }, "Unable cast str to double"},
        {[] { Var().convert<VarDict*>(); }, "Unable cast void to dv::VarDict*"},
        {[] { Var(1).convert<std::shared_ptr<Frame>>(); },
         "Unable cast int to std::shared_ptr<(anonymous namespace)::Frame>"},
        {[] { Var::object().convert<std::vector<double>>(); },
         "Unable cast object to std::vector<double, std::allocator<double> >"},
        {[] { Var({1, Var("x"), 3}).convert<std::vector<double>>(); }, "Unable cast str to double"},
        {[] { Var(5).convert<const char*>(); }, "Unable cast int to char const*"},
    };
    for (const Case& c : cases) EXPECT_EQ(messageOf(c.access), c.message);
    // The int constructor's own failure passes through the conversion.
    std::string message = messageOf([] { Var::object().convert<int>(); });
    EXPECT_EQ(message.find("int.__init__(...)\n"), 0u) << message;
    EXPECT_NE(message.find("\nCan't construct int from object.\n"), std::string::npos) << message;
}

TEST(VarAccess, ConversionsThroughClassMethods) {
    EXPECT_EQ(Var(3.7).convert<int>(), 3);
    EXPECT_EQ(Var(-3.7).convert<int>(), -3);
    EXPECT_EQ(Var(true).convert<int>(), 1);
    EXPECT_EQ(Var("21").convert<int>(), 21);
    EXPECT_EQ(Var(3).convert<double>(), 3.0);
    EXPECT_EQ(Var(false).convert<double>(), 0.0);
    EXPECT_FALSE(Var(0).convert<bool>());
    EXPECT_TRUE(Var(0.5).convert<bool>());

    Var i = 4;
    EXPECT_EQ(i.cast<int>().heldPointer(), i.heldPointer());
    EXPECT_TRUE(Var("x").cast<double>().isUndefined());
    EXPECT_TRUE(Var(3).cast<double>().holds<double>());
}

TEST(VarAccess, CastLeavesUndefinedEntriesInTheSourceClass) {
    struct Plain {};
    VarClass& c = VarClass::classOf<Plain>();
    EXPECT_TRUE(Var(Plain{}).cast<double>().isUndefined());
    const VarObject& attributes = c.attributes.typedRef<VarObject>();
    ASSERT_EQ(attributes.entries().count("__double__"), 1u);
    EXPECT_TRUE(attributes.get("__double__").isUndefined());
    c.def("__double__", Var(dv::VarFunction([](const Var&) { return 1.5; })), true);
    EXPECT_EQ(Var(Plain{}).convert<double>(), 1.5);
}

TEST(VarAccess, PointerTargets) {
    Var dict = Var::object({{"a", 1}});
    EXPECT_EQ(dict.convert<const VarObject*>(), &dict.typedRef<VarObject>());
    EXPECT_EQ(Var::null().convert<const VarObject*>(), nullptr);
    EXPECT_EQ(Var::null().convert<VarDict*>(), nullptr);
    const VarObject* raw = &dict.typedRef<VarObject>();
    Var plainPointer(static_cast<dv::VarValue*>(new dv::VarValue_<VarObject*>(const_cast<VarObject*>(raw))));
    EXPECT_EQ(plainPointer.convert<const VarObject*>(), raw);
    EXPECT_EQ(messageOf([] { Var(1).convert<const VarObject*>(); }), "Unable cast int to dv::VarObject const*");

    Var buffer = Var(dv::VarBuffer{16, "f", {4}});
    EXPECT_EQ(buffer.convert<const dv::VarBuffer*>()->byteSize, 16u);
}

TEST(VarAccess, CharacterPointers) {
    Var s = std::string("text");
    const char* p = s.convert<const char*>();
    EXPECT_EQ(p, s.typedRef<std::string>().c_str());
    EXPECT_EQ(Var::null().convert<const char*>(), nullptr);
    static const char chars[] = "abc";
    Var held(static_cast<dv::VarValue*>(new dv::VarValue_<const char*>(chars)));
    EXPECT_EQ(held.convert<const char*>(), chars);
}

TEST(VarAccess, SharedPointers) {
    auto frame = std::make_shared<Frame>();
    Var v(frame);
    EXPECT_EQ(v.convert<std::shared_ptr<Frame>>(), frame);
    EXPECT_EQ(v.convertRef<std::shared_ptr<Frame>>(), frame);
    EXPECT_EQ(Var::null().convert<std::shared_ptr<Frame>>(), nullptr);
    // The value reports the pointee's class.
    EXPECT_EQ(v.typeName(), "(anonymous namespace)::Frame");
    EXPECT_EQ(messageOf([&] { v.convert<std::shared_ptr<int>>(); }),
              "Unable cast (anonymous namespace)::Frame to std::shared_ptr<int>");
}

TEST(VarAccess, VectorsFromLists) {
    EXPECT_EQ(Var({1.5, 2, true}).convert<std::vector<double>>(), (std::vector<double>{1.5, 2.0, 1.0}));
    EXPECT_TRUE(Var(std::vector<Var>{}).convert<std::vector<double>>().empty());
    Var holder = Var({1.0, 2.0}).cast<std::vector<double>>();
    ASSERT_TRUE(holder.holds<std::vector<double>>());
    EXPECT_EQ(holder.convert<std::vector<double>>().size(), 2u);

    std::vector<pt::Point3d> points = {{1, 2, 3}, {4, 5, 6}};
    auto back = Var(points).convert<std::vector<pt::Point3d>>();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].z, 6);
    std::vector<pt::Point3_<unsigned char>> colours = {{1, 2, 3}};
    EXPECT_EQ(Var(colours).convert<std::vector<pt::Point3_<unsigned char>>>()[0].z, 3);
    std::vector<pt::Point3f> floats = {{1.5f, 0, 0}};
    EXPECT_EQ(Var(floats).convert<std::vector<pt::Point3f>>()[0].x, 1.5f);

    // A list of numbers is not a point.
    EXPECT_EQ(messageOf([] { Var({1.0, 2.0, 3.0}).convert<pt::Point3d>(); }),
              "Unable cast array to pt::Point3_<double>");
    EXPECT_EQ(messageOf([] { Var({Var({1.0, 2.0, 3.0})}).convert<std::vector<pt::Point3d>>(); }),
              "Unable cast array to pt::Point3_<double>");
    EXPECT_EQ(Var(pt::Point2_<int64_t>(3, 4)).convert<pt::Point2_<int64_t>>().y, 4);
}

TEST(VarAccess, ReferencesShareTheHeldObject) {
    Var s = std::string("a");
    Var t = s;
    s.typedRef<std::string>() += "b";
    EXPECT_EQ(t.typedRef<std::string>(), "ab");
    EXPECT_EQ(&s.convertRef<std::string>(), &t.typedRef<std::string>());
}
