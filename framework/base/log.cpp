#include "fw/log.h"

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace fw {

const char* severityName(int severity) {
    static const char* const names[] = {"INFO", "WARNING", "ERROR", "FATAL"};
    if (severity > 0 || severity < -3) return "UNKNOWN";
    return names[-severity];
}

void LogSinkSet::insert(LogSink* sink) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    sinks_.insert(sink);
}

void LogSinkSet::erase(LogSink* sink) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    sinks_.erase(sink);
}

bool LogSinkSet::contains(LogSink* sink) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return sinks_.count(sink) != 0;
}

size_t LogSinkSet::size() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return sinks_.size();
}

void LogSinkSet::send(int severity, const char* fullPath, const char* baseName, int line,
                      const tm* localTime, const char* text, size_t length) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (LogSink* sink : sinks_) sink->send(severity, fullPath, baseName, line, localTime, text, length);
}

void LogSinkSet::flush() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (LogSink* sink : sinks_) sink->flush();
}

std::shared_ptr<LogSinkSet>& getLogSinks() {
    static std::shared_ptr<LogSinkSet> sinks = std::make_shared<LogSinkSet>();
    return sinks;
}

LogRecord::LogRecord(const char* path, int line, const char* category, int severity)
    : path_(path ? path : ""), line_(line), category_(category ? category : ""), severity_(severity) {
    baseName(path_, baseName_);
}

LogRecord::~LogRecord() {
    text_ << '\n';
    send(severity_);
    flushSinks();
    if (severity_ == kFatal) {
        std::cerr.flush();
        std::abort();
    }
}

void LogRecord::send(int severity) {
    const std::string text = text_.str();
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    const std::time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::shared_ptr<LogSinkSet> sinks = std::atomic_load(&getLogSinks());
    if (sinks) sinks->send(severity, path_.c_str(), baseName_.c_str(), line_, &local, text.data(), text.size());
}

void LogRecord::flushSinks() {
    std::shared_ptr<LogSinkSet> sinks = std::atomic_load(&getLogSinks());
    if (sinks) sinks->flush();
}

void LogRecord::baseName(const std::string& path, std::string& out) {
    const size_t slash = path.rfind('/');
    out = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace fw
