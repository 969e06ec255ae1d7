#include "fw/timer.h"

#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

namespace fw {

Timer& Timer::instance() {
    thread_local std::shared_ptr<Timer> timer = std::make_shared<Timer>();
    return *timer;
}

Timer::Timer() : start_(std::chrono::steady_clock::now()) {}

Timer::~Timer() {
    if (statistics_.empty()) return;
    std::cout << std::endl;
    std::cout << report() << std::endl;
}

double Timer::now() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
}

Timer::Record& Timer::record(const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return statistics_[name ? name : ""];
}

void Timer::enter(const char* name) {
    Record& r = record(name);
    r.calls += 1;
    r.starts.push_back(now());
}

void Timer::leave(const char* name) {
    const double t = now();
    Record& r = record(name);
    if (r.starts.empty()) return;
    const double d = t - r.starts.back();
    r.starts.pop_back();
    r.total += d;
    if (r.calls == 1) {
        r.min = d;
        r.max = d;
    } else {
        if (d < r.min) r.min = d;
        if (d > r.max) r.max = d;
    }
}

std::string Timer::durationText(double seconds) {
    struct Unit {
        double limit;
        double factor;
        char letter;
    };
    static const Unit units[] = {
        {1e12, 1e-12, 'T'}, {1e9, 1e-9, 'G'}, {1e6, 1e-6, 'M'}, {1000, 0.001, 'K'}, {1, 1, ' '},
        {0.001, 1000, 'm'}, {1e-6, 1e6, 'u'}, {1e-9, 1e9, 'n'}, {1e-12, 1e12, 'p'},
    };
    double scaled = 0.0;
    char letter = 'p';
    for (const Unit& unit : units) {
        if (seconds >= unit.limit) {
            scaled = seconds * unit.factor;
            letter = unit.letter;
            break;
        }
    }
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << std::setw(5) << scaled << letter;
    return text.str();
}

std::string Timer::report() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    out << "------------------------------------  Timer report ------------------------------------\n";
    out << "           FUNCTION                       #CALLS  MIN.T  MEAN.T  MAX.T  TOTAL \n";
    out << "---------------------------------------------------------------------------------------\n";
    for (const auto& entry : statistics_) {
        const std::string& name = entry.first;
        const Record& r = entry.second;
        size_t pos = 0;
        while (name.size() - pos > 39) {
            out << name.substr(pos, 39) << '\n';
            pos += 39;
        }
        out << std::left << std::setw(39) << name.substr(pos) << std::right;
        const double mean = r.calls != 0 ? r.total / static_cast<double>(r.calls) : 0.0;
        out << ' ' << std::setw(6) << r.calls << "  " << durationText(r.min) << "s " << durationText(mean) << "s "
            << durationText(r.max) << "s " << durationText(r.total) << "s\n";
    }
    out << "--------------------------------- End of Timer report ---------------------------------\n";
    return out.str();
}

TimerScope::TimerScope(const char* name) : name_(name) { Timer::instance().enter(name_); }

TimerScope::~TimerScope() { Timer::instance().leave(name_); }

}  // namespace fw
