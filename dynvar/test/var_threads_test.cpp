// Class objects and containers used from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dv/var.h"

using dv::Var;
using dv::VarClass;

namespace {

struct FirstUsedOnManyThreads {};

}  // namespace

TEST(VarThreads, OneClassObjectPerTypeFromManyThreads) {
    constexpr int kThreads = 16;
    std::atomic<int> ready{0};
    std::vector<const void*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            seen[i] = &VarClass::forType<FirstUsedOnManyThreads>().held();
        });
    }
    for (auto& t : threads) t.join();
    for (const void* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(&VarClass::forType<FirstUsedOnManyThreads>().held(), seen[0]);
}

TEST(VarThreads, ConcurrentDictAndListAccess) {
    Var dict = Var::object();
    Var list = {1, 2, 3};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string key = "k" + std::to_string((t * 200 + i) % 50);
                dict.typedRef<dv::VarObject>().set(key, Var(i));
                (void)dict.typedRef<dv::VarObject>().get(key);
                (void)dict.length();
                const Var& readOnly = list;
                EXPECT_EQ(readOnly[Var(1)].typedRef<int>(), 2);
                EXPECT_TRUE(Var(i) == Var(i));
                (void)list.clone(1);
                (void)dict.clone(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(dict.length(), 50u);
}

TEST(VarThreads, DispatchFailuresKeepPerThreadStacks) {
    Var f(dv::VarFunction([](const int& x) { return x; }));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                try {
                    f(Var("bad"));
                } catch (const dv::VarException& e) {
                    std::string text = e.what();
                    // Exactly one record on this thread's stack.
                    if (text.substr(text.find("Stack:\n")) == "Stack:\n    (int)->int\n") failures.fetch_add(1);
                }
                EXPECT_EQ(f(Var(i)).typedRef<int>(), i);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 400);
}

TEST(VarThreads, PrintingWhileAnotherThreadWrites) {
    Var config = dv::Json::load(R"({"a": {"b": [1, 2, 3]}, "c": "text"})");
    Var inner = config.typedRef<dv::VarObject>().get("a");
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            inner.typedRef<dv::VarObject>().set("k" + std::to_string(i % 20), Var(i));
            config.typedRef<dv::VarObject>().set("n", Var(i));
        }
    });
    for (int i = 0; i < 100; ++i) {
        std::string text = dv::Json::dump(config);
        EXPECT_FALSE(dv::Json::load(text).isUndefined());
    }
    writer.join();
    EXPECT_EQ(inner.length(), 21u);
}
