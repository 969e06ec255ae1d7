#pragma once
// Fixed set of worker threads taking tasks in the order they were added.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace fw {
namespace detail {

// Runs one queued task on a worker. A failure escaping it ends the process:
// exit code -1 for a standard exception (its text on standard error), -2 for
// anything else.
void runPoolTask(const std::function<void()>& task);

class ThreadPool {
public:
    // Starts workers threads (none for 0). Throws std::system_error when a
    // thread cannot be started.
    explicit ThreadPool(int workers);
    // Runs every task still waiting, then joins the workers.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues f(args...) with the arguments bound by value. Exceptions of the
    // task are kept in the future. A pool under destruction refuses the task:
    // its future reports a broken promise.
    template <class F, class... Args>
    auto Add(F&& f, Args&&... args)
        -> std::future<std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>&...>>;

    // Tasks queued and not yet taken by a worker; a hint, it may be stale.
    size_t pendingCount() const;
    // Workers running a task now; a hint, it may be stale.
    size_t runningCount() const;

    // Removes the oldest waiting task without running it (its future reports
    // a broken promise). Nothing happens when no task waits.
    void dropOldest();

private:
    // Shared with the workers, so a pool released on one of its own workers
    // can leave that worker to finish the queue on its own.
    struct State {
        std::deque<std::function<void()>> tasks;
        std::mutex mutex;
        std::condition_variable condition;
        bool stop = false;
        std::atomic<size_t> pending{0};
        std::atomic<int> running{0};  // workers alive
        std::atomic<int> busy{0};     // workers inside a task
    };

    static void workerLoop(const std::shared_ptr<State>& state);
    void enqueue(std::function<void()> task);

    std::vector<std::thread> workers_;
    std::shared_ptr<State> state_;
};

template <class F, class... Args>
auto ThreadPool::Add(F&& f, Args&&... args)
    -> std::future<std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>&...>> {
    using R = std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>&...>;
    auto task = std::make_shared<std::packaged_task<R()>>(
        [fn = std::decay_t<F>(std::forward<F>(f)),
         bound = std::tuple<std::decay_t<Args>...>(std::forward<Args>(args)...)]() mutable -> R {
            return std::apply(fn, bound);
        });
    std::future<R> future = task->get_future();
    enqueue([task] { (*task)(); });
    return future;
}

}  // namespace detail
}  // namespace fw
