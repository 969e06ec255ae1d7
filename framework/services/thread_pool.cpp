#include "fw/thread_pool.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <system_error>

namespace fw {
namespace detail {

namespace {

// Workers whose pool was released on the worker itself. They finish on their
// own and are joined here: when the next one arrives, or at process exit. The
// registry is never destroyed, so a worker that is still tearing its pool down
// while the process exits finds it; the exit hook waits for such hand-overs
// and joins every worker handed over before it ran.
class OrphanWorkers {
public:
    static OrphanWorkers& instance() {
        static OrphanWorkers* orphans = [] {
            auto* made = new OrphanWorkers;
            std::atexit([] { OrphanWorkers::instance().close(); });
            return made;
        }();
        return *orphans;
    }

    // Announces a hand-over; false once the process is exiting.
    bool begin() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return false;
        ++inFlight_;
        return true;
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
            --inFlight_;
        }
        changed_.notify_all();
        for (auto& t : done) t.join();
    }

private:
    void close() {
        std::vector<Entry> entries;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            closing_ = true;
            changed_.wait(lock, [this] { return inFlight_ == 0; });
            entries.swap(entries_);
        }
        for (auto& entry : entries) {
            if (entry.thread.joinable()) entry.thread.join();
        }
    }

    struct Entry {
        std::thread thread;
        std::function<bool()> finished;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
    int inFlight_ = 0;
    bool closing_ = false;
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
    OrphanWorkers::instance();  // its exit hook must run before pools made later are torn down
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
    const std::thread::id self = std::this_thread::get_id();
    bool onOwnWorker = false;
    for (const auto& worker : workers_) onOwnWorker = onOwnWorker || worker.get_id() == self;
    const bool handOver = onOwnWorker && OrphanWorkers::instance().begin();
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->condition.notify_all();
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
    if (own.joinable() && !handOver) {
        own.detach();  // the process is exiting: nobody is left to join it
        return;
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
            state->busy.fetch_add(1);  // before the queue count drops, so work is never seen as none
            state->pending.fetch_sub(1);
        }
        runPoolTask(task);
        state->busy.fetch_sub(1);
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

size_t ThreadPool::runningCount() const { return static_cast<size_t>(state_->busy.load()); }

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
