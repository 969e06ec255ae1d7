#include "fw/thread_pool.h"
#include "testsupport/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using fw::detail::ThreadPool;
using namespace std::chrono_literals;

using testsupport::Gate;

namespace {

// Thread-safe record of the order in which tasks ran.
class Order {
public:
    void add(int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        ids_.push_back(id);
    }
    std::vector<int> ids() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ids_;
    }

private:
    std::mutex mutex_;
    std::vector<int> ids_;
};

template <typename T>
bool isBrokenPromise(std::future<T>& future) {
    try {
        future.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

}  // namespace

TEST(ThreadPoolThreads, OneWorkerRunsTasksInOrderAndCountsWaiting) {
    ThreadPool pool(1);
    Gate gate, started;
    Order order;
    std::atomic<int> running{0}, overlap{0};
    auto task = [&](int id) {
        if (running.fetch_add(1) != 0) overlap = 1;
        order.add(id);
        running.fetch_sub(1);
    };
    auto f1 = pool.Add([&] {
        started.open();
        gate.wait();
        task(1);
    });
    auto f2 = pool.Add(task, 2);
    auto f3 = pool.Add(task, 3);
    started.wait();
    EXPECT_EQ(pool.pendingCount(), 2u);
    gate.open();
    f1.get();
    f2.get();
    f3.get();
    EXPECT_EQ(order.ids(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(overlap.load(), 0);
    EXPECT_EQ(pool.pendingCount(), 0u);
}

TEST(ThreadPoolThreads, FuturesCarryResultsAndExceptions) {
    auto pool = std::make_unique<ThreadPool>(2);
    std::string text = "abc";
    auto copied = pool->Add([](const std::string& s) { return s + "!"; }, text);
    text = "changed";  // bound by value
    auto failing = pool->Add([]() -> int { throw std::runtime_error("task failed"); });
    struct Adder {
        int base;
        int add(int x) const { return base + x; }
    } adder{40};
    auto member = pool->Add(&Adder::add, &adder, 2);
    auto later = pool->Add([] { return 7; });
    // Join the workers first: they then hold no part of the results any more.
    pool.reset();

    EXPECT_EQ(copied.get(), "abc!");
    try {
        failing.get();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    EXPECT_EQ(member.get(), 42);
    EXPECT_EQ(later.get(), 7);
}

TEST(ThreadPoolThreads, WorkersRunConcurrently) {
    ThreadPool pool(4);
    std::atomic<int> arrived{0};
    std::vector<std::future<bool>> futures;
    for (int i = 0; i < 4; ++i) {
        futures.push_back(pool.Add([&arrived] {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (arrived.load() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            return arrived.load() == 4;
        }));
    }
    for (auto& f : futures) EXPECT_TRUE(f.get());
}

TEST(ThreadPoolThreads, TaskMayAddToItsOwnPool) {
    ThreadPool pool(1);
    std::promise<int> inner;
    auto innerFuture = inner.get_future();
    pool.Add([&pool, &inner] { pool.Add([&inner] { inner.set_value(5); }); }).get();
    ASSERT_EQ(innerFuture.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(innerFuture.get(), 5);
}

TEST(ThreadPoolThreads, DestructorRunsEveryWaitingTask) {
    std::atomic<int> ran{0};
    Gate gate, started;
    {
        ThreadPool pool(1);
        pool.Add([&] {
            started.open();
            gate.wait();
        });
        for (int i = 0; i < 10; ++i) pool.Add([&ran] { ran.fetch_add(1); });
        started.wait();
        EXPECT_EQ(pool.pendingCount(), 10u);
        gate.open();
    }
    EXPECT_EQ(ran.load(), 10);
}

TEST(ThreadPoolThreads, DropOldestRemovesTheFrontTask) {
    ThreadPool pool(1);
    Gate gate, started;
    Order order;
    pool.Add([&] {
        started.open();
        gate.wait();
    });
    auto f1 = pool.Add([&order] { order.add(1); });
    auto f2 = pool.Add([&order] { order.add(2); });
    auto f3 = pool.Add([&order] { order.add(3); });
    started.wait();
    pool.dropOldest();
    EXPECT_EQ(pool.pendingCount(), 2u);
    gate.open();
    EXPECT_TRUE(isBrokenPromise(f1));
    f2.get();
    f3.get();
    EXPECT_EQ(order.ids(), (std::vector<int>{2, 3}));
    pool.dropOldest();  // empty queue: nothing happens
    EXPECT_EQ(pool.pendingCount(), 0u);
}

TEST(ThreadPoolThreads, PoolWithoutWorkersOnlyHoldsTasks) {
    std::future<int> future;
    {
        ThreadPool pool(0);
        future = pool.Add([] { return 1; });
        EXPECT_EQ(future.wait_for(50ms), std::future_status::timeout);
        EXPECT_EQ(pool.pendingCount(), 1u);
        pool.dropOldest();
        EXPECT_TRUE(isBrokenPromise(future));
        future = pool.Add([] { return 2; });
    }
    EXPECT_TRUE(isBrokenPromise(future));
}

TEST(ThreadPoolThreads, NegativeWorkerCountIsReported) {
    testing::internal::CaptureStderr();
    std::future<int> future;
    {
        ThreadPool pool(-3);
        future = pool.Add([] { return 1; });
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("negative worker count -3"), std::string::npos);
    EXPECT_TRUE(isBrokenPromise(future));
}

TEST(ThreadPoolThreads, AddDuringDestructionIsRefused) {
    auto pool = std::make_unique<ThreadPool>(1);
    ThreadPool* raw = pool.get();
    Gate gate, started;
    std::future<int> refused;
    std::atomic<bool> added{false};
    pool->Add([&] {
        started.open();
        gate.wait();
    });
    // Runs while the destructor drains the queue.
    pool->Add([&] {
        refused = raw->Add([] { return 1; });
        added = true;
    });
    started.wait();
    std::thread opener([&gate] {
        std::this_thread::sleep_for(200ms);
        gate.open();
    });
    testing::internal::CaptureStderr();
    pool.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    opener.join();
    ASSERT_TRUE(added.load());
    EXPECT_EQ(err, "The ThreadPool object has been destroyed! Cannot add more tasks to the ThreadPool!");
    EXPECT_TRUE(isBrokenPromise(refused));
}

// Releasing the last owner on the pool's own worker must not join that worker;
// the worker still runs what waits behind it.
TEST(ThreadPoolThreads, ReleasedOnItsOwnWorker) {
    auto pool = std::make_shared<ThreadPool>(1);
    std::shared_ptr<ThreadPool> holder = pool;
    Gate gate;
    pool->Add([&gate, &holder] {
        gate.wait();
        holder.reset();
    });
    auto behind = pool->Add([] { return 3; });
    pool.reset();
    gate.open();
    ASSERT_EQ(behind.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(behind.get(), 3);
}
