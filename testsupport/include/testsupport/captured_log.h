#pragma once
// A log sink that keeps the text of every record while it is registered.

#include "fw/log.h"

#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class CapturedLog : public fw::LogSink {
public:
    CapturedLog() { fw::getLogSinks()->insert(this); }
    ~CapturedLog() override { fw::getLogSinks()->erase(this); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    void send(int severity, const char*, const char*, int, const tm*, const char* text, size_t length) override {
        std::string line(text, length);
        while (!line.empty() && line.back() == '\n') line.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(severity, std::move(line));
    }
    void flush() override {}

    // Texts of the records of that severity, in order, without their line end.
    std::vector<std::string> texts(int severity) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.first == severity) out.push_back(l.second);
        return out;
    }
    // Every record (severity, text), in order.
    std::vector<std::pair<int, std::string>> records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Records whose text holds part, of that severity when one is given.
    size_t count(const std::string& part, std::optional<int> severity = std::nullopt) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& l : lines_)
            if (l.second.find(part) != std::string::npos && (!severity || l.first == *severity)) ++n;
        return n;
    }
    // Whether a record of that severity starts with prefix.
    bool has(int severity, const std::string& prefix) const {
        for (const auto& t : texts(severity))
            if (t.rfind(prefix, 0) == 0) return true;
        return false;
    }
    // Whether a record holds part, of that severity when one is given.
    bool contains(const std::string& part, std::optional<int> severity = std::nullopt) const {
        return count(part, severity) > 0;
    }
    // Whether one record holds every piece, of that severity when one is given.
    bool contains(std::initializer_list<std::string> pieces, std::optional<int> severity = std::nullopt) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& l : lines_) {
            if (severity && l.first != *severity) continue;
            bool all = true;
            for (const auto& p : pieces) all = all && l.second.find(p) != std::string::npos;
            if (all) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace testsupport
