#pragma once
// The main loop: status lines on standard error, commands from standard input.

#include "tarn/tarn_mapper.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <thread>

#include <nlohmann/json.hpp>

namespace tarn {

// Input lines longer than this are dropped (and answered with a -9 line).
constexpr size_t kMaxCommandBytes = size_t{16} << 20;

// One line of the input; a line that was too long keeps only its first 200
// bytes and the reason it was dropped.
struct CommandLine {
    std::string text;
    std::string refused;  // empty for a line to dispatch

    CommandLine(std::string line = {}, std::string reason = {}) : text(std::move(line)), refused(std::move(reason)) {}
    bool operator==(const std::string& line) const { return refused.empty() && text == line; }
};

// Lines read from the input, in arrival order.
struct CommandQueue {
    std::deque<CommandLine> lines;
    std::mutex mutex;
    std::atomic<bool> ended{false};  // the input has reached its end
};

// Reads the descriptor line by line (a line feed ends a line and is not kept;
// a last line without one counts too) and appends each line, empty ones
// included, to the queue. Returns at end of input, on a read error, or once
// stop is set (looked at every 100 ms); sets queue.ended at the end of input.
// A line longer than maxLine bytes is never held whole: its first 200 bytes
// are queued as refused and the rest is skipped up to its line end.
void readStdinCommands(CommandQueue& queue, const std::atomic<bool>& stop, int fd = 0,
                       size_t maxLine = kMaxCommandBytes);

// Owns the reader thread; stops and joins it when destroyed.
class CommandReader {
public:
    explicit CommandReader(CommandQueue& queue, int fd = 0);
    ~CommandReader();
    CommandReader(const CommandReader&) = delete;
    CommandReader& operator=(const CommandReader&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// {"output":[...],"progress":{"total":value},"state":state}
nlohmann::json statusLine(const MapperStatus& status);


// Polls the job until it reaches a final state: writes a status line to err
// on every change, dispatches the queued commands ("frame" texts go to the
// job, a bad line gives one -9 line) and sleeps between passes. At the end
// of input the live stream is ended as an empty "frame" text would.
void runMainLoop(TarnMapper& job, CommandQueue& queue, std::ostream& err,
                 std::chrono::milliseconds pause = std::chrono::milliseconds(500));

}  // namespace tarn
