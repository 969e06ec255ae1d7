#pragma once
// Per-thread profiler of named code sections. Each thread's timer prints its
// report to standard output when the thread ends.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fw {

class Timer {
public:
    struct Record {
        int64_t calls = 0;
        double min = 0.0;
        double max = 0.0;
        double total = 0.0;
        std::vector<double> starts;  // entries not yet left, latest last
    };

    // The calling thread's timer, made on first use.
    static Timer& instance();

    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void enter(const char* name);
    void leave(const char* name);

    std::string report();

    // A duration in seconds as five columns and a unit letter: " 12.3m", "  1.5 ".
    static std::string durationText(double seconds);

private:
    double now() const;
    Record& record(const char* name);

    std::chrono::steady_clock::time_point start_;
    std::map<std::string, Record> statistics_;
    std::mutex mutex_;
};

// Times its own scope as the section name; name must outlive the scope.
class TimerScope {
public:
    explicit TimerScope(const char* name);
    ~TimerScope();
    TimerScope(const TimerScope&) = delete;
    TimerScope& operator=(const TimerScope&) = delete;

private:
    const char* name_;
};

}  // namespace fw
