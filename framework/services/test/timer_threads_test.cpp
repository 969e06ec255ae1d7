#include "fw/timer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

// Each thread has its own timer, whose report appears when the thread ends.
TEST(TimerThreads, ReportPrintedWhenTheThreadEnds) {
    testing::internal::CaptureStdout();
    std::thread worker([] {
        for (int i = 0; i < 2; ++i) fw::TimerScope scope("Worker::step");
        EXPECT_EQ(&fw::Timer::instance(), &fw::Timer::instance());
    });
    worker.join();
    std::thread quiet([] {});
    quiet.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Worker::step"), out.rfind("Worker::step"));  // one report, one row
    ASSERT_NE(out.find("Worker::step"), std::string::npos);
    EXPECT_EQ(out.substr(out.find("Worker::step") + 39, 7), "      2");
    EXPECT_EQ(out.find("-  Timer report"), out.rfind("-  Timer report"));
}

TEST(TimerThreads, ThreadsDoNotShareTimers) {
    fw::Timer* mainTimer = &fw::Timer::instance();
    fw::Timer* other = nullptr;
    testing::internal::CaptureStdout();
    std::thread worker([&other] {
        other = &fw::Timer::instance();
        fw::TimerScope scope("only.in.worker");
    });
    worker.join();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(mainTimer, other);
    EXPECT_EQ(mainTimer->report().find("only.in.worker"), std::string::npos);
}
