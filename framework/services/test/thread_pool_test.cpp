#include "fw/thread_pool.h"

#include <gtest/gtest.h>

#include <stdexcept>

// A failure that escapes a worker's task ends the process.
TEST(ThreadPoolDeathTest, EscapingStandardExceptionExitsWithMinusOne) {
    EXPECT_EXIT(fw::detail::runPoolTask([] { throw std::runtime_error("wrapper broke"); }),
                testing::ExitedWithCode(255), "^wrapper broke\n$");
}

TEST(ThreadPoolDeathTest, EscapingOtherExceptionExitsWithMinusTwo) {
    EXPECT_EXIT(fw::detail::runPoolTask([] { throw 42; }), testing::ExitedWithCode(254),
                "^Unkown exception catched.\n$");
}

TEST(ThreadPool, RunPoolTaskRunsTheTask) {
    int ran = 0;
    fw::detail::runPoolTask([&ran] { ++ran; });
    EXPECT_EQ(ran, 1);
}
