#pragma once
// Collects the log records written while it lives.

#include "fw/log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace stereo_test {

class LogCapture : public fw::LogSink {
public:
    LogCapture() { fw::getLogSinks()->insert(this); }
    ~LogCapture() override { fw::getLogSinks()->erase(this); }

    void send(int severity, const char*, const char*, int, const tm*, const char* text, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string line(text, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        records_.push_back({severity, line});
    }
    void flush() override {}

    struct Record {
        int severity;
        std::string text;
    };
    std::vector<Record> records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    // Records whose text holds part.
    size_t count(const std::string& part, int severity = 1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return size_t(std::count_if(records_.begin(), records_.end(), [&](const Record& r) {
            return r.text.find(part) != std::string::npos && (severity == 1 || r.severity == severity);
        }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

}  // namespace stereo_test
