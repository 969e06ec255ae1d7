#include "fw/file_log_sink.h"
#include "fw/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace {

struct Received {
    int severity;
    std::string path, base, text;
    int line;
};

class RecordingSink : public fw::LogSink {
public:
    explicit RecordingSink(std::vector<std::pair<RecordingSink*, Received>>* log) : log_(log) {}
    void send(int severity, const char* fullPath, const char* baseName, int line, const tm*,
              const char* text, size_t length) override {
        log_->push_back({this, {severity, fullPath, baseName, std::string(text, length), line}});
    }
    void flush() override { ++flushes; }
    int flushes = 0;

private:
    std::vector<std::pair<RecordingSink*, Received>>* log_;
};

// Registers a sink for the lifetime of a test.
class ScopedSink {
public:
    explicit ScopedSink(fw::LogSink* sink) : sink_(sink) { fw::getLogSinks()->insert(sink_); }
    ~ScopedSink() { fw::getLogSinks()->erase(sink_); }

private:
    fw::LogSink* sink_;
};

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

tm makeTime(int mon, int day, int h, int m, int s) {
    tm t{};
    t.tm_mon = mon - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

}  // namespace

TEST(LogLineFormat, FieldsArePaddedAndOrdered) {
    struct Case {
        int severity;
        tm time;
        long tid;
        std::string text, expected;
    };
    const std::vector<Case> cases = {
        {fw::kError, makeTime(3, 7, 9, 5, 3), 4242, "Failed to create dataset.\n",
         "E0307 09:05:03  4242] Failed to create dataset.\n"},
        {fw::kInfo, makeTime(12, 31, 23, 59, 59), 7, "x\n", "I1231 23:59:59     7] x\n"},
        {fw::kWarning, makeTime(1, 1, 0, 0, 0), 1234567, "w\n", "W0101 00:00:00 1234567] w\n"},
        {fw::kFatal, makeTime(10, 10, 10, 10, 10), 12345, "\n", "F1010 10:10:10 12345] \n"},
        {fw::kInfo, makeTime(2, 3, 4, 5, 6), 1, "a\nb\n", "I0203 04:05:06     1] a\nb\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogSink::formatLine(c.severity, c.time, c.tid, c.text.data(), c.text.size()), c.expected);
    }
}

TEST(LogLineFormat, SeverityNames) {
    EXPECT_STREQ(fw::severityName(0), "INFO");
    EXPECT_STREQ(fw::severityName(-1), "WARNING");
    EXPECT_STREQ(fw::severityName(-2), "ERROR");
    EXPECT_STREQ(fw::severityName(-3), "FATAL");
    EXPECT_STREQ(fw::severityName(1), "UNKNOWN");
    EXPECT_STREQ(fw::severityName(-4), "UNKNOWN");
}

TEST(LogRecordTest, BaseName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b/c.cpp", "c.cpp"}, {"c.cpp", "c.cpp"}, {"dir/", ""}, {"x\\y\\z.cpp", "x\\y\\z.cpp"}, {"", ""}};
    for (const auto& [path, base] : cases) {
        std::string out = "junk";
        fw::LogRecord::baseName(path, out);
        EXPECT_EQ(out, base) << path;
    }
}

TEST(LogRecordTest, EveryRecordReachesStderrAndSinksInPointerOrder) {
    std::vector<std::pair<RecordingSink*, Received>> got;
    RecordingSink sinks[2] = {RecordingSink(&got), RecordingSink(&got)};
    ScopedSink a(&sinks[1]), b(&sinks[0]);

    testing::internal::CaptureStderr();
    { fw::LogRecord("some/dir/file.cpp", 42, "native", fw::kWarning).stream() << "value " << 7; }
    FW_LOG(Info) << "";
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(err, "value 7\n\n");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].first, &sinks[0]);
    EXPECT_EQ(got[1].first, &sinks[1]);
    EXPECT_EQ(got[0].second.severity, fw::kWarning);
    EXPECT_EQ(got[0].second.path, "some/dir/file.cpp");
    EXPECT_EQ(got[0].second.base, "file.cpp");
    EXPECT_EQ(got[0].second.line, 42);
    EXPECT_EQ(got[0].second.text, "value 7\n");
    EXPECT_EQ(got[2].second.text, "\n");
    EXPECT_EQ(sinks[0].flushes, 2);
    EXPECT_EQ(sinks[1].flushes, 2);
}

TEST(LogRecordTest, ErasedSinkReceivesNothing) {
    std::vector<std::pair<RecordingSink*, Received>> got;
    RecordingSink sink(&got);
    fw::getLogSinks()->insert(&sink);
    fw::getLogSinks()->erase(&sink);
    testing::internal::CaptureStderr();
    FW_LOG(Error) << "gone";
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(got.empty());
}

class FileSinkTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("zel_log_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        file_ = dir_ / "log.txt";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_, file_;
};

TEST_F(FileSinkTest, WritesPrefixedLinesOnlyOnceStreamIsSet) {
    LogSink sink;
    ScopedSink scoped(&sink);
    testing::internal::CaptureStderr();
    FW_LOG(Info) << "before stream";
    sink.setStream(std::make_shared<std::ofstream>(file_, std::ios::binary | std::ios::trunc));
    FW_LOG(Error) << "Failed to create dataset.";
    FW_LOG(Info) << "two\nlines";
    FW_LOG(Warning) << "";
    testing::internal::GetCapturedStderr();

    const std::string text = readFile(file_);
    const std::regex expected(
        "E\\d{4} \\d\\d:\\d\\d:\\d\\d [ \\d]{4}\\d+\\] Failed to create dataset\\.\n"
        "I\\d{4} \\d\\d:\\d\\d:\\d\\d [ \\d]{4}\\d+\\] two\nlines\n"
        "W\\d{4} \\d\\d:\\d\\d:\\d\\d [ \\d]{4}\\d+\\] \n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_EQ(text.find("before stream"), std::string::npos);
}

TEST_F(FileSinkTest, FatalRecordIsInTheFileBeforeAbort) {
    const auto file = file_;
    EXPECT_DEATH(
        {
            static LogSink sink;
            sink.setStream(std::make_shared<std::ofstream>(file, std::ios::binary | std::ios::trunc));
            fw::getLogSinks()->insert(&sink);
            FW_LOG(Fatal) << "fatal text";
        },
        "fatal text");
    const std::string text = readFile(file_);
    EXPECT_TRUE(std::regex_match(text, std::regex("F\\d{4} \\d\\d:\\d\\d:\\d\\d [ \\d]{4}\\d+\\] fatal text\n")))
        << text;
}
