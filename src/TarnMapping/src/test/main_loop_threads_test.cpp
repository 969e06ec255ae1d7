// The standard-input reader on a pipe.
#include "tarn/main_loop.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
        for (int i = 0; i < 200 && !queue.ended.load(); ++i) usleep(10000);
        ASSERT_TRUE(queue.ended.load());
    }
    ::close(fds[0]);
    std::lock_guard<std::mutex> lock(queue.mutex);
    ASSERT_EQ(queue.lines.size(), 4u);
    EXPECT_EQ(queue.lines[0], "first");
    EXPECT_EQ(queue.lines[1], "");
    EXPECT_EQ(queue.lines[2].size(), 10000u);
    EXPECT_EQ(queue.lines[3], "last without end");
}

TEST(CommandReaderThreads, StopsWhileTheInputStaysOpen) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CommandQueue queue;
    {
        CommandReader reader(queue, fds[0]);
        writeAll(fds[1], "one\n");
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (!queue.lines.empty()) break;
            }
            usleep(10000);
        }
    }  // joins without the input having ended
    EXPECT_FALSE(queue.ended.load());
    EXPECT_EQ(queue.lines.size(), 1u);
    ::close(fds[0]);
    ::close(fds[1]);
}
