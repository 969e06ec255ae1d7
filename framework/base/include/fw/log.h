#pragma once
// Process-wide logging: a record is built on the caller's stack, its text goes
// to standard error and to every registered sink when the statement ends.

#include <ctime>
#include <cstddef>
#include <memory>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>

namespace fw {

constexpr int kInfo = 0;
constexpr int kWarning = -1;
constexpr int kError = -2;
constexpr int kFatal = -3;

// Name of a severity ("INFO", "WARNING", "ERROR", "FATAL"); "UNKNOWN" outside the table.
const char* severityName(int severity);

class LogSink {
public:
    virtual ~LogSink() = default;
    // One record; text is not terminated, length counts its bytes.
    virtual void send(int severity, const char* fullPath, const char* baseName, int line,
                      const tm* localTime, const char* text, size_t length) = 0;
    virtual void flush() = 0;
};

// The set of sinks, ordered by pointer value. It does not own its sinks.
// Sends hold a shared lock, so once erase() returns no thread is inside the
// erased sink any more and its owner may destroy it.
class LogSinkSet {
public:
    void insert(LogSink* sink);
    void erase(LogSink* sink);
    bool contains(LogSink* sink) const;
    size_t size() const;

    void send(int severity, const char* fullPath, const char* baseName, int line,
              const tm* localTime, const char* text, size_t length) const;
    void flush() const;

private:
    mutable std::shared_mutex mutex_;
    std::set<LogSink*> sinks_;
};

// The process-wide pointer to the sink set, made empty on first use. Replace
// it only with std::atomic_store: records read it with std::atomic_load.
std::shared_ptr<LogSinkSet>& getLogSinks();

class LogRecord {
public:
    LogRecord(const char* path, int line, const char* category, int severity);
    ~LogRecord();
    LogRecord(const LogRecord&) = delete;
    LogRecord& operator=(const LogRecord&) = delete;

    std::ostream& stream() { return text_; }

    // Writes the text to standard error and hands it to every sink.
    void send(int severity);
    void flushSinks();

    static void baseName(const std::string& path, std::string& out);

private:
    std::string path_;
    std::string baseName_;
    int line_;
    std::string category_;
    std::ostringstream text_;
    int severity_;
};

}  // namespace fw

// FW_LOG(Info) << "text"; severities Info, Warning, Error, Fatal.
#define FW_LOG(sev) ::fw::LogRecord(__FILE__, __LINE__, "native", ::fw::k##sev).stream()
