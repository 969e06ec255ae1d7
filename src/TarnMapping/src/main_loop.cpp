#include "tarn/main_loop.h"

#include "zel_text/exit_with_error.h"
#include "zel/item_json.h"
#include "fw/log.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <poll.h>
#include <unistd.h>

namespace tarn {

using nlohmann::json;

namespace {

// The most bytes of an input line, or of a reason, that a message shows.
constexpr size_t kShownBytes = 200;

}  // namespace

void readStdinCommands(CommandQueue& queue, const std::atomic<bool>& stop, int fd, size_t maxLine) {
    std::string pending;
    bool tooLong = false;  // the rest of the current line is skipped
    char buffer[65536];
    auto push = [&queue](CommandLine line) {
        try {
            std::lock_guard<std::mutex> lock(queue.mutex);
            queue.lines.push_back(std::move(line));
        } catch (const std::exception&) {
            // a line that cannot be queued is dropped; reading goes on
        }
    };
    auto endLine = [&] {
        if (tooLong)
            push(CommandLine(std::move(pending), "line longer than " + std::to_string(maxLine) + " bytes"));
        else
            push(CommandLine(std::move(pending)));
        pending.clear();
        tooLong = false;
    };
    auto append = [&](const char* data, size_t length) {
        if (tooLong) return;
        if (pending.size() + length <= maxLine) {
            pending.append(data, length);
            return;
        }
        // Keep only what the answer shows.
        if (pending.size() < kShownBytes) pending.append(data, std::min(length, kShownBytes - pending.size()));
        pending.resize(std::min(pending.size(), kShownBytes));
        pending.shrink_to_fit();
        tooLong = true;
    };
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (n == 0) {
            if (!pending.empty() || tooLong) endLine();
            queue.ended.store(true);
            return;
        }
        size_t start = 0;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') continue;
            append(buffer + start, static_cast<size_t>(i) - start);
            endLine();
            start = static_cast<size_t>(i) + 1;
        }
        append(buffer + start, static_cast<size_t>(n) - start);
    }
    if (!stop.load()) queue.ended.store(true);
}

CommandReader::CommandReader(CommandQueue& queue, int fd)
    : thread_([this, &queue, fd] { readStdinCommands(queue, stop_, fd); }) {}

CommandReader::~CommandReader() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

json statusLine(const MapperStatus& status) {
    json output = json::array();
    for (const auto& item : status.outputs) {
        json form;
        if (zel::itemToJson(item, form)) output.push_back(std::move(form));
    }
    return json{{"state", zel::code(status.state)}, {"progress", {{"total", status.progress.value}}}, {"output", std::move(output)}};
}

namespace {

void writeLine(std::ostream& err, const json& line) {
    err << zel::text::compactJson(line) << '\n';
    err.flush();
}

// A text as a message shows it: whole up to 200 bytes, else its first 200
// bytes and "..."; cut says the text is already the start of a longer one.
std::string shown(const std::string& text, bool cut = false) {
    if (text.size() > kShownBytes) return text.substr(0, kShownBytes) + "...";
    return cut ? text + "..." : text;
}

// The -9 line for an input line and why it cannot be used.
json commandError(const std::string& line, const std::string& why, bool cut = false) {
    return json{{"code", -9}, {"message", "Exception for command: " + shown(line, cut) + " (" + shown(why) + ")"}};
}

// Dispatches one command; false, with the reason in refusal, when a live
// frame was refused. A line that is not a command is ignored, with a WARNING
// where it looks like a frame the host meant to send.
bool dispatch(TarnMapper& job, const std::string& line, std::string& refusal) {
    const json command = json::parse(line);
    if (!command.is_object()) {
        FW_LOG(Warning) << "Command ignored: the line is not an object: " << shown(line);
        return true;
    }
    auto frame = command.find("frame");
    if (frame != command.end()) {
        if (!frame->is_string()) {
            FW_LOG(Warning) << "Command ignored: \"frame\" is not a string: " << shown(line);
            return true;
        }
        std::string why;
        // A file dataset refuses every frame without a reason: no answer.
        if (!job.feedFrame(frame->get<std::string>(), why) && !why.empty()) {
            refusal = why;
            return false;
        }
        return true;
    }
    // "control" lines and other keys: no command is acted on.
    return true;
}

}  // namespace

void runMainLoop(TarnMapper& job, CommandQueue& queue, std::ostream& err, std::chrono::milliseconds pause) {
    MapperStatus status;
    bool endSent = false;
    for (;;) {
        if (job.update(status)) writeLine(err, statusLine(status));
        if (zel::isFinal(status.state)) break;
        for (;;) {
            // Read the end flag before the last look at the queue, so no line
            // that arrived before the end is left behind.
            const bool inputEnded = queue.ended.load();
            CommandLine line;
            bool endStream = false;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (!queue.lines.empty()) {
                    line = std::move(queue.lines.front());
                    queue.lines.pop_front();
                } else if (inputEnded && !endSent) {
                    endSent = endStream = true;
                } else {
                    break;
                }
            }
            if (endStream) {
                // a host that has gone ends the live stream like {"frame":""}
                try {
                    job.feedFrame("");
                } catch (const std::exception&) {
                }
                continue;
            }
            if (!line.refused.empty()) {
                writeLine(err, commandError(line.text, line.refused, true));
                continue;
            }
            try {
                std::string refusal;
                if (!dispatch(job, line.text, refusal)) writeLine(err, commandError(line.text, refusal));
            } catch (const std::exception& e) {
                writeLine(err, commandError(line.text, e.what()));
            }
        }
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace tarn
