#include "fw/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

// Readers, writers of new names and reports on one store at once.
TEST(SettingsThreads, ConcurrentGettersSetvarAndReports) {
    fw::Settings store;
    store.setvar("shared.count", "7", false);
    std::vector<std::thread> threads;
    std::vector<int> seen(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, &seen, t] {
            for (int i = 0; i < 200; ++i) {
                seen[t] += store.GetInt("shared.count", 1) == 7 ? 1 : 0;
                store.GetDouble("shared.ratio." + std::to_string(i % 10), 0.5);
                store.setvar("thread" + std::to_string(t) + "." + std::to_string(i), "x", false);
                store.GetPoint3d("shared.point", pt::Point3d(1, 2, 3));
                if (i % 50 == 0) store.reportText();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : seen) EXPECT_EQ(count, 200);
    EXPECT_NE(store.reportText().find("thread3.199"), std::string::npos);
}
