// The standard-input reader on a pipe.
#include "tarn/main_loop.h"
#include "testsupport/wait_until.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

using tarn::CommandQueue;
using tarn::CommandReader;

namespace {

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

}  // namespace

TEST(CommandReaderThreads, QueuesEveryLineAndNotesTheEnd) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CommandQueue queue;
    {
        CommandReader reader(queue, fds[0]);
        writeAll(fds[1], "first\n\n");
        std::string big(10000, 'x');
        writeAll(fds[1], big + "\nlast without end");
        ::close(fds[1]);
        ASSERT_TRUE(testsupport::waitUntil([&] { return queue.ended.load(); }));
    }
    ::close(fds[0]);
    std::lock_guard<std::mutex> lock(queue.mutex);
    ASSERT_EQ(queue.lines.size(), 4u);
    EXPECT_EQ(queue.lines[0].text, "first");
    EXPECT_EQ(queue.lines[1].text, "");
    EXPECT_EQ(queue.lines[2].text.size(), 10000u);
    EXPECT_EQ(queue.lines[3].text, "last without end");
}

TEST(CommandReaderThreads, StopsWhileTheInputStaysOpen) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CommandQueue queue;
    {
        CommandReader reader(queue, fds[0]);
        writeAll(fds[1], "one\n");
        ASSERT_TRUE(testsupport::waitUntil([&] {
            std::lock_guard<std::mutex> lock(queue.mutex);
            return !queue.lines.empty();
        }));
    }  // joins without the input having ended
    EXPECT_FALSE(queue.ended.load());
    EXPECT_EQ(queue.lines.size(), 1u);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(CommandReaderThreads, OverlongLineKeepsOnlyItsHeadAndReadingGoesOn) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CommandQueue queue;
    std::atomic<bool> stop{false};
    // Returns at the end of the input.
    std::thread reader([&] { tarn::readStdinCommands(queue, stop, fds[0], 4096); });
    const std::string head = "{\"frame\":\"";
    writeAll(fds[1], head + std::string(300000, 'x') + "\"}\n" + std::string(1000, 'y') + "\nafter\n" +
                         std::string(5000, 'z'));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    ASSERT_TRUE(queue.ended.load());
    ASSERT_EQ(queue.lines.size(), 4u);
    EXPECT_EQ(queue.lines[0].refused, "line longer than 4096 bytes");
    EXPECT_EQ(queue.lines[0].text, head + std::string(200 - head.size(), 'x'));
    EXPECT_EQ(queue.lines[1].text, std::string(1000, 'y'));
    EXPECT_TRUE(queue.lines[1].refused.empty());
    EXPECT_EQ(queue.lines[2].text, "after");
    EXPECT_EQ(queue.lines[3].refused, "line longer than 4096 bytes");  // the last line, without its end
    EXPECT_EQ(queue.lines[3].text.size(), 200u);
}
