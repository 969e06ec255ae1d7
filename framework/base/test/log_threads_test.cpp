#include "fw/file_log_sink.h"
#include "fw/log.h"
#include "testsupport/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
class CountingSink : public fw::LogSink {
public:
    void send(int, const char*, const char*, int, const tm*, const char*, size_t) override { ++count; }
    void flush() override {}
    std::atomic<int> count{0};
};
}  // namespace

// Sinks are added and removed (and destroyed) while other threads log.
TEST(LogThreads, SinksComeAndGoWhileThreadsLog) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 4; ++i) {
        loggers.emplace_back([&stop, i] {
            while (!stop.load()) FW_LOG(Info) << "thread " << i;
        });
    }
    for (int round = 0; round < 200; ++round) {
        auto sink = std::make_unique<CountingSink>();
        fw::getLogSinks()->insert(sink.get());
        std::this_thread::yield();
        fw::getLogSinks()->erase(sink.get());
        sink.reset();
    }
    stop = true;
    for (auto& t : loggers) t.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(fw::getLogSinks()->size(), 0u);
}

// Lines written from several threads at once stay whole.
TEST(LogThreads, FileSinkKeepsLinesWhole) {
    const auto dir = std::filesystem::temp_directory_path() / ("zel_logthreads_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "log.txt";
    {
        LogSink sink;
        sink.setStream(std::make_shared<std::ofstream>(file, std::ios::binary | std::ios::trunc));
        fw::getLogSinks()->insert(&sink);
        testing::internal::CaptureStderr();
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([i] {
                for (int n = 0; n < 200; ++n) FW_LOG(Info) << "thread-" << i << "-line-" << n << "-end";
            });
        for (auto& t : threads) t.join();
        testing::internal::GetCapturedStderr();
        fw::getLogSinks()->erase(&sink);
    }
    std::ifstream in(file);
    std::string line;
    int lines = 0;
    const std::regex shape("I\\d{4} \\d\\d:\\d\\d:\\d\\d [ \\d]{4}\\d+\\] thread-\\d-line-\\d+-end");
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
    EXPECT_EQ(lines, 800);
    std::filesystem::remove_all(dir);
}

// Another module's sink set may be adopted while threads log.
TEST(LogThreads, SinkSetIsReplacedWhileThreadsLog) {
    std::shared_ptr<fw::LogSinkSet> original = std::atomic_load(&fw::getLogSinks());
    auto other = std::make_shared<fw::LogSinkSet>();
    CountingSink sink;
    other->insert(&sink);
    std::atomic<bool> stop{false};
    testing::internal::CaptureStderr();
    std::vector<std::thread> loggers;
    for (int i = 0; i < 3; ++i)
        loggers.emplace_back([&stop] {
            while (!stop.load()) FW_LOG(Info) << "x";
        });
    for (int round = 0; round < 100; ++round) {
        std::atomic_store(&fw::getLogSinks(), round % 2 ? original : other);
        std::this_thread::yield();
    }
    // Keep the other set until a record has reached it (bounded).
    std::atomic_store(&fw::getLogSinks(), other);
    testsupport::waitUntil([&] { return sink.count.load() != 0; }, std::chrono::seconds(5));
    std::atomic_store(&fw::getLogSinks(), original);
    stop = true;
    for (auto& t : loggers) t.join();
    testing::internal::GetCapturedStderr();
    other->erase(&sink);
    EXPECT_GT(sink.count.load(), 0);
}
