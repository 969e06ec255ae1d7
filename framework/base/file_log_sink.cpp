#include "fw/file_log_sink.h"

#include <cstdio>
#include <unistd.h>

LogSink::~LogSink() = default;

std::string LogSink::formatLine(int severity, const tm& t, long threadId, const char* text, size_t length) {
    char prefix[64];
    const int n = std::snprintf(prefix, sizeof prefix, "%c%02d%02d %02d:%02d:%02d %5ld] ",
                                fw::severityName(severity)[0], t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                t.tm_min, t.tm_sec, threadId);
    std::string line(prefix, n > 0 ? static_cast<size_t>(n) : 0);
    line.append(text, length);
    return line;
}

void LogSink::send(int severity, const char*, const char*, int, const tm* localTime,
                   const char* text, size_t length) {
    if (!localTime) return;
    const std::string line = formatLine(severity, *localTime, static_cast<long>(gettid()), text, length);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stream_) return;
    stream_->write(line.data(), static_cast<std::streamsize>(line.size()));
    stream_->flush();
}

void LogSink::setStream(std::shared_ptr<std::ofstream> stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_ = std::move(stream);
}

std::shared_ptr<std::ofstream> LogSink::stream() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_;
}
