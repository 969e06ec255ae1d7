#include "fw/messenger.h"
#include "testsupport/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

using testsupport::Gate;

namespace {

// Payloads received on any thread, with a wait for a given count.
class Inbox {
public:
    void add(int value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(value);
        changed_.notify_all();
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
    }
    std::vector<int> values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> values_;
};

}  // namespace

TEST(MessengerThreads, QueueSizeZeroRunsOnThePublishingThread) {
    fw::Messenger messenger;
    std::thread::id callbackThread;
    fw::Subscriber sub = messenger.subscribe(
        "t.thread", 0, dv::VarFunction([&callbackThread](const int&) { callbackThread = std::this_thread::get_id(); }));
    std::thread::id publisherThread;
    bool deliveredBeforeReturn = false;
    std::thread publisher([&] {
        publisherThread = std::this_thread::get_id();
        messenger.publish("t.thread", 1);
        deliveredBeforeReturn = callbackThread == publisherThread;
    });
    publisher.join();
    EXPECT_TRUE(deliveredBeforeReturn);
}

TEST(MessengerThreads, QueuedSubscriberDropsTheOldestWaitingMessages) {
    fw::Messenger messenger;
    Inbox inbox;
    Gate gate, started;
    std::thread::id worker;
    fw::Subscriber sub = messenger.subscribe("t.queue", 2, dv::VarFunction([&](const int& value) {
                                                 if (value == 0) {
                                                     worker = std::this_thread::get_id();
                                                     started.open();
                                                     gate.wait();
                                                 }
                                                 inbox.add(value);
                                             }));
    messenger.publish("t.queue", 0);
    started.wait();
    for (int i = 1; i <= 5; ++i) messenger.publish("t.queue", i);
    gate.open();
    ASSERT_TRUE(inbox.waitFor(3));
    // A last message, delivered in order: nothing else came before it.
    messenger.publish("t.queue", 99);
    ASSERT_TRUE(inbox.waitFor(4));
    EXPECT_EQ(inbox.values(), (std::vector<int>{0, 4, 5, 99}));
    EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(MessengerThreads, QueuedPublisherDropsTheOldestWaitingMessages) {
    fw::Messenger messenger;
    Inbox inbox;
    Gate gate, started;
    fw::Subscriber sub = messenger.subscribe("t.pubqueue", 0, dv::VarFunction([&](const int& value) {
                                                 if (value == 0) {
                                                     started.open();
                                                     gate.wait();
                                                 }
                                                 inbox.add(value);
                                             }));
    fw::Publisher pub = messenger.advertise<int>("t.pubqueue", 1);
    pub.publish(dv::Var(0));
    started.wait();
    for (int i = 1; i <= 3; ++i) pub.publish(dv::Var(i));
    gate.open();
    ASSERT_TRUE(inbox.waitFor(2));
    pub = fw::Publisher();  // drains and joins its worker
    EXPECT_EQ(inbox.values(), (std::vector<int>{0, 3}));
}

TEST(MessengerThreads, ShutdownSkipsWaitingDeliveries) {
    fw::Messenger messenger;
    Inbox inbox;
    Gate gate, started;
    fw::Subscriber sub = messenger.subscribe("t.skip", 5, dv::VarFunction([&](const int& value) {
                                                 if (value == 0) {
                                                     started.open();
                                                     gate.wait();
                                                 }
                                                 inbox.add(value);
                                             }));
    fw::Subscriber keep = sub;  // keeps the record (and its worker) alive
    messenger.publish("t.skip", 0);
    started.wait();
    for (int i = 1; i <= 3; ++i) messenger.publish("t.skip", i);
    sub.shutdown();
    gate.open();
    ASSERT_TRUE(inbox.waitFor(1));
    keep = fw::Subscriber();  // the worker is joined here, after the skipped deliveries
    EXPECT_EQ(inbox.values(), (std::vector<int>{0}));
}

// Dropping the last handle while deliveries wait unregisters at once; the
// worker that ends up releasing the record does not join itself.
TEST(MessengerThreads, DroppedQueuedSubscriberUnregistersWhileDeliveriesWait) {
    fw::Messenger messenger;
    Inbox inbox;
    Gate gate, started;
    auto sub = std::make_unique<fw::Subscriber>(messenger.subscribe("t.drop", 5, dv::VarFunction([&](const int& value) {
        if (value == 0) {
            started.open();
            gate.wait();
        }
        inbox.add(value);
    })));
    messenger.publish("t.drop", 0);
    started.wait();
    messenger.publish("t.drop", 1);
    sub.reset();
    messenger.publish("t.drop", 2);
    gate.open();
    ASSERT_TRUE(inbox.waitFor(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(inbox.values(), (std::vector<int>{0}));
}

TEST(MessengerThreads, SubscriberReleasingItselfOnItsOwnWorker) {
    fw::Messenger messenger;
    Inbox inbox;
    auto holder = std::make_shared<fw::Subscriber>();
    std::mutex holderMutex;
    *holder = messenger.subscribe("t.self", 3, dv::VarFunction([&](const int& value) {
                                      inbox.add(value);
                                      std::lock_guard<std::mutex> lock(holderMutex);
                                      holder.reset();
                                  }));
    messenger.publish("t.self", 1);
    ASSERT_TRUE(inbox.waitFor(1));
    // Wait (bounded) until the worker has dropped the last handle.
    bool released = false;
    for (int i = 0; i < 5000 && !released; ++i) {
        {
            std::lock_guard<std::mutex> lock(holderMutex);
            released = holder == nullptr;
        }
        if (!released) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(released);
    messenger.publish("t.self", 2);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(inbox.values(), (std::vector<int>{1}));
}

TEST(MessengerThreads, QueuedCallbackErrorsAreLostButDeliveryGoesOn) {
    fw::Messenger messenger;
    Inbox inbox;
    fw::Subscriber sub = messenger.subscribe("t.qerror", 4, dv::VarFunction([&](const int& value) {
                                                 if (value == 1) throw std::runtime_error("lost");
                                                 inbox.add(value);
                                             }));
    messenger.publish("t.qerror", 1);
    messenger.publish("t.qerror", std::string("wrong type"));
    messenger.publish("t.qerror", 2);
    ASSERT_TRUE(inbox.waitFor(1));
    EXPECT_EQ(inbox.values(), (std::vector<int>{2}));
}

// Publishers on several threads while subscribers come and go.
TEST(MessengerThreads, StressPublishWhileSubscribersComeAndGo) {
    fw::Messenger messenger;
    std::atomic<long> counted{0};
    fw::Subscriber steady = messenger.subscribe("t.stress", 0, dv::VarFunction([&counted](const int& value) {
                                                    if (value >= 0) counted.fetch_add(1);
                                                }));
    std::atomic<long> got{0};  // outlives every churned subscription
    std::atomic<bool> stop{false};
    constexpr int kPublishers = 4;
    constexpr int kMessages = 300;

    std::vector<std::thread> churners;
    for (int c = 0; c < 3; ++c) {
        churners.emplace_back([&messenger, &stop, &got, c] {
            while (!stop.load()) {
                fw::Subscriber sync = messenger.subscribe(
                    "t.stress", 0, dv::VarFunction([&got](const dv::Var&) { got.fetch_add(1); }));
                fw::Subscriber queued = messenger.subscribe(
                    "t.stress", 2, dv::VarFunction([&got](const int&) { got.fetch_add(1); }));
                fw::Subscriber copy = queued;
                std::this_thread::yield();
                if (c == 0) sync.shutdown();
                fw::Publisher pub = messenger.advertise<int>("t.stress", c == 1 ? 1 : 0);
                pub.publish(dv::Var(-1));
            }
        });
    }
    std::vector<std::thread> publishers;
    for (int p = 0; p < kPublishers; ++p) {
        publishers.emplace_back([&messenger, p] {
            fw::Publisher pub = messenger.advertise<int>("t.stress", 0);
            for (int i = 0; i < kMessages; ++i) {
                if ((i + p) % 2 == 0) {
                    messenger.publish("t.stress", i);
                } else {
                    pub.publish(dv::Var(i));
                }
            }
        });
    }
    for (auto& t : publishers) t.join();
    stop = true;
    for (auto& t : churners) t.join();
    // Every publish reached the steady subscriber once.
    EXPECT_EQ(counted.load(), kPublishers * kMessages);
    EXPECT_GT(got.load(), 0);
    messenger.publish("t.stress", 1);
    EXPECT_EQ(counted.load(), kPublishers * kMessages + 1);
}

// Re-adopting the process's own services is a no-op, also while threads log and publish.
TEST(MessengerThreads, SetGlobalServicesWithOwnServicesWhileThreadsWork) {
    std::atomic<bool> stop{false};
    std::atomic<long> seen{0};
    fw::Subscriber sub =
        fw::Messenger::instance().subscribe("t.global", 0, dv::VarFunction([&seen](const int&) { seen.fetch_add(1); }));
    testing::internal::CaptureStderr();
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&stop] {
            while (!stop.load()) {
                FW_LOG(Info) << "working";
                fw::Messenger::instance().publish("t.global", 1);
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int i = 0; i < 200 || (seen.load() < 100 && std::chrono::steady_clock::now() < deadline); ++i) {
        fw::setGlobalServices(&fw::Messenger::instance(), fw::getLogSinks());
    }
    stop = true;
    for (auto& t : workers) t.join();
    testing::internal::GetCapturedStderr();
    EXPECT_GE(seen.load(), 100);
}
