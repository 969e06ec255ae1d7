#include "fw/thread_pool.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <system_error>

namespace fw {
namespace detail {

namespace {

// Workers whose pool was released on the worker itself. They finish on their
// own and are joined here: when the next one arrives, or at process exit.
class OrphanWorkers {
public:
    static OrphanWorkers& instance() {
        static OrphanWorkers orphans;
        return orphans;
    }

    void adopt(std::thread thread, std::function<bool()> finished) {
        std::vector<std::thread> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end();) {
                if (it->finished()) {
                    done.push_back(std::move(it->thread));
                    it = entries_.erase(it);
                } else {
                    ++it;
                }
            }
            entries_.push_back(Entry{std::move(thread), std::move(finished)});
        }
        for (auto& t : done) t.join();
    }

    ~OrphanWorkers() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : entries_) {
            if (entry.thread.joinable()) entry.thread.join();
        }
    }

private:
    struct Entry {
        std::thread thread;
        std::function<bool()> finished;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace

void runPoolTask(const std::function<void()>& task) {
    try {
        task();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        std::cout.flush();
        std::_Exit(-1);
    } catch (...) {
        std::cerr << "Unkown exception catched." << std::endl;
        std::cout.flush();
        std::_Exit(-2);
    }
}

ThreadPool::ThreadPool(int workers) : state_(std::make_shared<State>()) {
    if (workers < 0) {
        std::cerr << "ThreadPool: negative worker count " << workers << ", no worker started" << std::endl;
        workers = 0;
    }
    try {
        for (int i = 0; i < workers; ++i) {
            state_->running.fetch_add(1);
            try {
                workers_.emplace_back(&ThreadPool::workerLoop, state_);
            } catch (...) {
                state_->running.fetch_sub(1);
                throw;
            }
        }
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stop = true;
        }
        state_->condition.notify_all();
        for (auto& worker : workers_) worker.join();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->condition.notify_all();
    const std::thread::id self = std::this_thread::get_id();
    std::thread own;
    for (auto& worker : workers_) {
        if (worker.get_id() == self) {
            // Released on its own worker: that worker drains the queue after
            // the current task and is joined elsewhere.
            own = std::move(worker);
        } else {
            worker.join();
        }
    }
    if (own.joinable()) {
        std::shared_ptr<State> state = state_;
        OrphanWorkers::instance().adopt(std::move(own), [state] { return state->running.load() == 0; });
        return;
    }
    // Without workers the waiting tasks are destroyed unrun.
    std::deque<std::function<void()>> left;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        left.swap(state_->tasks);
        state_->pending = 0;
    }
}

void ThreadPool::workerLoop(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->condition.wait(lock, [&] { return state->stop || !state->tasks.empty(); });
            if (state->tasks.empty()) break;
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
            state->pending.fetch_sub(1);
        }
        runPoolTask(task);
    }
    state->running.fetch_sub(1);
}

void ThreadPool::enqueue(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stop) {
            std::cerr << "The ThreadPool object has been destroyed! Cannot add more tasks to the ThreadPool!";
            return;
        }
        state_->tasks.push_back(std::move(task));
        state_->pending.fetch_add(1);
    }
    state_->condition.notify_one();
}

size_t ThreadPool::pendingCount() const { return state_->pending.load(); }

void ThreadPool::dropOldest() {
    std::function<void()> dropped;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->tasks.empty()) return;
        dropped = std::move(state_->tasks.front());
        state_->tasks.pop_front();
        state_->pending.fetch_sub(1);
    }
}

}  // namespace detail
}  // namespace fw
