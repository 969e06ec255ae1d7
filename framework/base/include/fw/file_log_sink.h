#pragma once
// The mapping job's sink: one prefixed line per record in its log file.

#include "fw/log.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

class LogSink : public fw::LogSink {
public:
    ~LogSink() override;

    void send(int severity, const char* fullPath, const char* baseName, int line,
              const tm* localTime, const char* text, size_t length) override;
    void flush() override {}

    void setStream(std::shared_ptr<std::ofstream> stream);
    std::shared_ptr<std::ofstream> stream() const;

    // "E0307 09:05:03  4242] text": severity letter, month, day, time, thread id.
    static std::string formatLine(int severity, const tm& localTime, long threadId,
                                  const char* text, size_t length);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<std::ofstream> stream_;
};
