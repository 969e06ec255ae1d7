#include "fw/gimage.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(GImageThreads, CopiesComeAndGoOnManyThreads) {
    std::vector<std::thread> threads;
    {
        fw::GImage shared(64, 64, CV_8UC1);
        for (int i = 0; i < 4096; ++i) shared.data[i] = uint8_t(i);
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([copy = shared, t] {
                long sum = 0;
                for (int i = 0; i < 2000; ++i) {
                    fw::GImage local = copy;
                    sum += local.data[(i * 7 + t) % 4096];
                }
                EXPECT_GT(sum, 0);
            });
        }
    }  // the original goes while the threads still hold copies
    for (auto& t : threads) t.join();
}
