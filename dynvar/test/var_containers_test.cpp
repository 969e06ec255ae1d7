// Lists and dicts: lookup, store, clone with depth, iteration.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dv/var.h"

using dv::Var;
using dv::VarArray;
using dv::VarIterator;
using dv::VarObject;

TEST(VarContainers, DictGetAndSet) {
    Var dict = Var::object({{"a", 1}});
    VarObject& d = dict.typedRef<VarObject>();
    EXPECT_TRUE(d.get("missing").isUndefined());
    EXPECT_EQ(dict.length(), 1u);
    dict[Var("missing")];
    EXPECT_EQ(dict.length(), 2u);

    Var held = d.get("a");
    d.set("a", Var(2));  // rebinds the entry; the old value lives on
    EXPECT_EQ(held.typedRef<int>(), 1);
    EXPECT_EQ(d.get("a").typedRef<int>(), 2);
    d.set("b", Var(3));
    EXPECT_EQ(dict.length(), 3u);
    EXPECT_TRUE(d.erase("b"));
    EXPECT_FALSE(d.erase("b"));
}

TEST(VarContainers, ListPositions) {
    Var list = {10, 20};
    const VarArray& a = list.typedRef<VarArray>();
    EXPECT_EQ(a[1].typedRef<int>(), 20);
    EXPECT_TRUE(a[2].isUndefined());
    EXPECT_TRUE(a[1000].isUndefined());
}

TEST(VarContainers, CloneDepth) {
    Var inner = {1, 2};
    Var outer = Var(std::vector<Var>{inner});

    Var shallow = outer.clone(0);
    EXPECT_NE(shallow.heldPointer(), outer.heldPointer());
    shallow.typedRef<VarArray>().elements()[0][Var(0)] = Var(99);
    EXPECT_EQ(inner.typedRef<VarArray>()[0].typedRef<int>(), 99);

    Var deep = outer.clone(1);
    deep.typedRef<VarArray>().elements()[0][Var(0)] = Var(7);
    EXPECT_EQ(inner.typedRef<VarArray>()[0].typedRef<int>(), 99);

    Var dict = Var::object({{"k", inner}});
    Var dictDeep = dict.clone(1);
    EXPECT_NE(dictDeep.typedRef<VarObject>().get("k").heldPointer(), inner.heldPointer());
    EXPECT_EQ(dict.clone(0).typedRef<VarObject>().get("k").heldPointer(), inner.heldPointer());
}

TEST(VarContainers, CloneDropsTheDictsOwnClass) {
    Var cls(dv::VarClass("Thing", typeid(void)));
    Var dict = Var::object({{"x", 1}});
    dict.typedRef<VarObject>().objectClass = cls;
    EXPECT_EQ(dict.typeName(), "Thing");
    EXPECT_EQ(dict.clone().typeName(), "object");
}

TEST(VarContainers, SelfContainingCloneDoesNotDeadlock) {
    Var list = {1};
    list.typedRef<VarArray>().elements().push_back(list);
    Var copy = list.clone(3);
    ASSERT_EQ(copy.length(), 2u);
    EXPECT_EQ(copy.typedRef<VarArray>()[1].length(), 2u);

    Var dict = Var::object();
    dict[Var("self")] = dict;
    Var dictCopy = dict.clone(2);
    EXPECT_TRUE(dictCopy.typedRef<VarObject>().get("self").isObject());
    // Break the cycles so that the values are released.
    list.typedRef<VarArray>().elements().clear();
    copy.typedRef<VarArray>().elements().clear();
    dict.typedRef<VarObject>().entries().clear();
    dictCopy.typedRef<VarObject>().get("self").typedRef<VarObject>().entries().clear();
}

TEST(VarContainers, Iteration) {
    Var list = {1, 2, 3};
    int sum = 0;
    for (Var e : list) sum += e.typedRef<int>();
    EXPECT_EQ(sum, 6);
    EXPECT_EQ(list.begin().kind(), VarIterator::kList);

    Var dict = Var::object({{"a", 1}, {"b", 2}});
    std::set<std::string> keys;
    int values = 0;
    for (VarIterator it = dict.begin(); it != dict.end(); ++it) {
        keys.insert(it.key());
        values += it.value().typedRef<int>();
        Var held = *it;
        auto& entry = held.typedRef<std::pair<const std::string, Var>>();
        EXPECT_EQ(entry.first, it.key());
    }
    EXPECT_EQ(keys, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(values, 3);
    EXPECT_EQ(dict.begin().kind(), VarIterator::kDict);

    Var number = 5;
    EXPECT_EQ(number.begin().kind(), VarIterator::kOther);
    EXPECT_TRUE(number.begin() == number.end());

    // A copied iterator moves on its own.
    VarIterator first = list.begin();
    VarIterator second = first;
    ++second;
    EXPECT_EQ((*first).typedRef<int>(), 1);
    EXPECT_EQ((*second).typedRef<int>(), 2);
}
