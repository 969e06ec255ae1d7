#include "fw/timer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kHead =
    "------------------------------------  Timer report ------------------------------------\n"
    "           FUNCTION                       #CALLS  MIN.T  MEAN.T  MAX.T  TOTAL \n"
    "---------------------------------------------------------------------------------------\n";
const std::string kTail = "--------------------------------- End of Timer report ---------------------------------\n";

// Seconds back from a duration text such as " 12.3m".
double seconds(const std::string& text) {
    const double value = std::stod(text.substr(0, 5));
    switch (text[5]) {
        case 'T': return value * 1e12;
        case 'G': return value * 1e9;
        case 'M': return value * 1e6;
        case 'K': return value * 1e3;
        case ' ': return value;
        case 'm': return value * 1e-3;
        case 'u': return value * 1e-6;
        case 'n': return value * 1e-9;
        default: return value * 1e-12;
    }
}

struct Row {
    long calls;
    double min, mean, max, total;
};

// The numbers of the last row of a one-row report.
Row lastRow(const std::string& report) {
    const size_t end = report.size() - kTail.size();
    const size_t begin = report.rfind('\n', end - 2) + 1;
    const std::string line = report.substr(begin, end - begin);
    // 39 name columns, blank, 6 call columns, two blanks, then 4 x (6 + "s ")
    Row row{};
    row.calls = std::stol(line.substr(40, 6));
    row.min = seconds(line.substr(48, 6));
    row.mean = seconds(line.substr(56, 6));
    row.max = seconds(line.substr(64, 6));
    row.total = seconds(line.substr(72, 6));
    return row;
}

void spin(std::chrono::microseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

}  // namespace

struct DurationCase {
    double seconds;
    const char* text;
};

void PrintTo(const DurationCase& c, std::ostream* os) { *os << c.seconds << "s"; }

class TimerDuration : public testing::TestWithParam<DurationCase> {};

TEST_P(TimerDuration, Form) { EXPECT_EQ(fw::Timer::durationText(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Values, TimerDuration,
                         testing::Values(DurationCase{0.0123, " 12.3m"}, DurationCase{1.5, "  1.5 "},
                                         DurationCase{0.0, "  0.0p"}, DurationCase{1.0, "  1.0 "},
                                         DurationCase{0.999, "999.0m"}, DurationCase{2500.0, "  2.5K"},
                                         DurationCase{3e6, "  3.0M"}, DurationCase{4e9, "  4.0G"},
                                         DurationCase{5e12, "  5.0T"}, DurationCase{7e-6, "  7.0u"},
                                         DurationCase{8e-9, "  8.0n"}, DurationCase{9e-12, "  9.0p"},
                                         DurationCase{1e-13, "  0.0p"}, DurationCase{-1.0, "  0.0p"},
                                         DurationCase{5e15, "5000.0T"}));

TEST(Timer, LeaveWithoutEnterRecordsZeroCalls) {
    fw::Timer timer;
    timer.leave("never.entered");
    std::string name = "never.entered";
    name.append(39 - name.size(), ' ');
    EXPECT_EQ(timer.report(), kHead + name + "      0    0.0ps   0.0ps   0.0ps   0.0ps\n" + kTail);
}

TEST(Timer, SingleSectionStatistics) {
    fw::Timer timer;
    for (int i = 0; i < 3; ++i) {
        timer.enter("section");
        spin(std::chrono::microseconds(200 * (i + 1)));
        timer.leave("section");
    }
    const Row row = lastRow(timer.report());
    EXPECT_EQ(row.calls, 3);
    EXPECT_GE(row.min, 190e-6);
    EXPECT_GE(row.max, 590e-6);
    EXPECT_LE(row.min, row.mean);
    EXPECT_LE(row.mean, row.max);
    EXPECT_NEAR(row.total, row.mean * 3, row.total * 0.05 + 1e-6);
}

TEST(Timer, NestedEntriesOfOneName) {
    fw::Timer timer;
    timer.enter("nested");
    spin(std::chrono::microseconds(300));
    timer.enter("nested");
    spin(std::chrono::microseconds(300));
    timer.leave("nested");
    timer.leave("nested");
    const Row row = lastRow(timer.report());
    EXPECT_EQ(row.calls, 2);
    EXPECT_EQ(row.min, 0.0);  // calls was already 2 at the first leave
    EXPECT_GE(row.max, 590e-6);
    EXPECT_GT(row.total, row.max);
}

TEST(Timer, EnteredAndNeverLeftCountsOnlyCalls) {
    fw::Timer timer;
    timer.enter("open");
    std::string name = "open";
    name.append(35, ' ');
    EXPECT_EQ(timer.report(), kHead + name + "      1    0.0ps   0.0ps   0.0ps   0.0ps\n" + kTail);
}

TEST(Timer, LongNamesAreCutIntoLinesOf39) {
    fw::Timer timer;
    const std::string name45(45, 'x');
    const std::string name78 = std::string(39, 'a') + std::string(39, 'b');
    timer.leave(name45.c_str());
    timer.leave(name78.c_str());
    const std::string numbers = "      0    0.0ps   0.0ps   0.0ps   0.0ps\n";
    EXPECT_EQ(timer.report(), kHead + std::string(39, 'a') + "\n" + std::string(39, 'b') + numbers +
                                  std::string(39, 'x') + "\n" + std::string(6, 'x') + std::string(33, ' ') + numbers +
                                  kTail);
}

TEST(Timer, RowsInNameOrder) {
    fw::Timer timer;
    timer.leave("b");
    timer.leave("a");
    const std::string report = timer.report();
    EXPECT_LT(report.find("\na "), report.find("\nb "));
}

TEST(Timer, EmptyTimerPrintsNothingWhenDestroyed) {
    testing::internal::CaptureStdout();
    { fw::Timer timer; }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Timer, DestroyedTimerPrintsItsReport) {
    testing::internal::CaptureStdout();
    {
        fw::Timer timer;
        timer.leave("printed");
    }
    const std::string out = testing::internal::GetCapturedStdout();
    std::string name = "printed";
    name.append(32, ' ');
    EXPECT_EQ(out, "\n" + kHead + name + "      0    0.0ps   0.0ps   0.0ps   0.0ps\n" + kTail + "\n");
}
