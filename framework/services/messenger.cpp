#include "fw/messenger.h"

#include "fw/thread_pool.h"

#include <atomic>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace fw {

// One topic: its registered records, ordered by address.
class PubSubSpace {
public:
    std::mutex mutex;
    std::set<std::shared_ptr<Subscriber::Impl>> subscribers;
    std::set<std::shared_ptr<Publisher::Impl>> publishers;
};

struct Publisher::Impl {
    std::string topic;
    dv::Var type;
    std::shared_ptr<PubSubSpace> space;
    size_t queueSize = 0;
    std::shared_ptr<detail::ThreadPool> pool;
    std::mutex queueMutex;          // keeps drop-and-add of one publish together
    std::atomic<long> users{0};     // user handles
};

struct Subscriber::Impl {
    std::string topic;
    dv::Var type;
    dv::VarFunction callback;
    std::atomic<bool> shutdown{false};
    std::shared_ptr<PubSubSpace> space;
    size_t queueSize = 0;
    std::shared_ptr<detail::ThreadPool> pool;
    std::mutex queueMutex;
    std::atomic<long> users{0};
};

struct Messenger::Data {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<PubSubSpace>> spaces;
    Publisher pubNewPub;
    Publisher pubNewSub;
};

namespace {

using SubscriberRecord = std::shared_ptr<Subscriber::Impl>;

void unregister(Subscriber::Impl& record, const SubscriberRecord& self) {
    record.shutdown = true;
    if (!record.space) return;
    std::lock_guard<std::mutex> lock(record.space->mutex);
    record.space->subscribers.erase(self);
}

void unregister(const std::shared_ptr<Publisher::Impl>& record) {
    if (!record->space) return;
    std::lock_guard<std::mutex> lock(record->space->mutex);
    record->space->publishers.erase(record);
}

// The delivery rule of one subscriber record.
void deliverTo(const SubscriberRecord& record, const dv::Var& message) {
    if (!record || record->shutdown) return;
    if (!record->pool) {
        record->callback.call(message);
        return;
    }
    std::weak_ptr<Subscriber::Impl> weak = record;
    std::lock_guard<std::mutex> lock(record->queueMutex);
    if (record->pool->pendingCount() >= record->queueSize) record->pool->dropOldest();
    record->pool->Add([weak, message] {
        SubscriberRecord target = weak.lock();
        if (!target || target->shutdown) return;
        target->callback.call(message);
    });
}

std::vector<SubscriberRecord> copySubscribers(PubSubSpace& space) {
    std::lock_guard<std::mutex> lock(space.mutex);
    return std::vector<SubscriberRecord>(space.subscribers.begin(), space.subscribers.end());
}

std::shared_ptr<PubSubSpace> spaceOf(Messenger::Data& data, const std::string& topic) {
    // Called with data.mutex held.
    std::shared_ptr<PubSubSpace>& space = data.spaces[topic];
    if (!space) space = std::make_shared<PubSubSpace>();
    return space;
}

}  // namespace

// ---- Publisher

Publisher::Publisher(std::shared_ptr<Impl> record) : impl(std::move(record)) {
    if (impl) impl->users.fetch_add(1);
}

Publisher::Publisher(const Publisher& other) : impl(other.impl) {
    if (impl) impl->users.fetch_add(1);
}

Publisher::Publisher(Publisher&& other) noexcept : impl(std::move(other.impl)) {}

Publisher& Publisher::operator=(Publisher other) noexcept {
    std::swap(impl, other.impl);
    return *this;
}

Publisher::~Publisher() {
    if (impl && impl->users.fetch_sub(1) == 1) unregister(impl);
}

void Publisher::publish(const dv::Var& message) const {
    if (!impl || !impl->space) return;
    std::vector<SubscriberRecord> subscribers = copySubscribers(*impl->space);
    if (subscribers.empty()) return;
    if (!impl->pool) {
        for (const SubscriberRecord& subscriber : subscribers) deliverTo(subscriber, message);
        return;
    }
    std::vector<std::weak_ptr<Subscriber::Impl>> targets(subscribers.begin(), subscribers.end());
    subscribers.clear();
    std::lock_guard<std::mutex> lock(impl->queueMutex);
    if (impl->pool->pendingCount() >= impl->queueSize) impl->pool->dropOldest();
    impl->pool->Add([targets, message] {
        for (const auto& weak : targets) deliverTo(weak.lock(), message);
    });
}

// ---- Subscriber

Subscriber::Subscriber(std::shared_ptr<Impl> record) : impl(std::move(record)) {
    if (impl) impl->users.fetch_add(1);
}

Subscriber::Subscriber(const Subscriber& other) : impl(other.impl) {
    if (impl) impl->users.fetch_add(1);
}

Subscriber::Subscriber(Subscriber&& other) noexcept : impl(std::move(other.impl)) {}

Subscriber& Subscriber::operator=(Subscriber other) noexcept {
    std::swap(impl, other.impl);
    return *this;
}

Subscriber::~Subscriber() {
    if (impl && impl->users.fetch_sub(1) == 1) unregister(*impl, impl);
}

void Subscriber::deliver(const dv::Var& message) const { deliverTo(impl, message); }

void Subscriber::shutdown() {
    if (!impl) return;
    unregister(*impl, impl);
    std::shared_ptr<Impl> record = std::move(impl);
    record->users.fetch_sub(1);
}

// ---- Messenger

Messenger& Messenger::instance() {
    static std::shared_ptr<Messenger> messenger = std::make_shared<Messenger>();
    return *messenger;
}

Messenger::Messenger() : data_(std::make_shared<Data>()) {
    data_->pubNewSub = advertise<Subscriber>("messenger/newsub", 0);
    data_->pubNewPub = advertise<Publisher>("messenger/newpub", 0);
}

Messenger::Messenger(const Messenger& other) : data_(other.data()) {}

Messenger& Messenger::operator=(const Messenger& other) {
    std::atomic_store(&data_, other.data());
    return *this;
}

Messenger::~Messenger() = default;

std::shared_ptr<Messenger::Data> Messenger::data() const { return std::atomic_load(&data_); }

Publisher Messenger::advertiseType(const std::string& topic, const dv::Var& type, size_t queueSize) {
    if (topic.empty()) return Publisher();
    std::shared_ptr<Data> d = data();
    auto record = std::make_shared<Publisher::Impl>();
    record->topic = topic;
    record->type = type;
    record->queueSize = queueSize;
    if (queueSize > 0) record->pool = std::make_shared<detail::ThreadPool>(1);
    Publisher handle(record);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        std::shared_ptr<PubSubSpace> space = spaceOf(*d, topic);
        std::lock_guard<std::mutex> spaceLock(space->mutex);
        space->publishers.insert(record);
        record->space = space;
    }
    d->pubNewPub.publish(dv::Var(handle));
    return handle;
}

Subscriber Messenger::subscribe(const std::string& topic, size_t queueSize, const dv::VarFunction& callback) {
    if (topic.empty()) return Subscriber();
    std::shared_ptr<Data> d = data();
    auto record = std::make_shared<Subscriber::Impl>();
    record->topic = topic;
    if (callback.signatureClasses.size() == 2) record->type = callback.signatureClasses[1];
    record->callback = callback;
    record->queueSize = queueSize;
    if (queueSize > 0) record->pool = std::make_shared<detail::ThreadPool>(1);
    Subscriber handle(record);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        std::shared_ptr<PubSubSpace> space = spaceOf(*d, topic);
        std::lock_guard<std::mutex> spaceLock(space->mutex);
        space->subscribers.insert(record);
        record->space = space;
    }
    d->pubNewSub.publish(dv::Var(handle));
    return handle;
}

void Messenger::publishEach(const std::string& topic, const std::function<dv::Var()>& makeMessage) {
    std::shared_ptr<Data> d = data();
    std::vector<SubscriberRecord> subscribers;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        auto it = d->spaces.find(topic);
        if (it == d->spaces.end()) return;
        subscribers = copySubscribers(*it->second);
    }
    for (const SubscriberRecord& subscriber : subscribers) deliverTo(subscriber, makeMessage());
}

void setGlobalServices(Messenger* messenger, std::shared_ptr<LogSinkSet> logSinks) {
    if (messenger) {
        Messenger& own = Messenger::instance();
        if (&own != messenger) {
            std::shared_ptr<Messenger::Data> given = messenger->data();
            if (own.data() != given) std::atomic_store(&own.data_, given);
        }
    }
    if (logSinks) {
        std::shared_ptr<LogSinkSet>& own = getLogSinks();
        if (std::atomic_load(&own) != logSinks) std::atomic_store(&own, std::move(logSinks));
    }
}

}  // namespace fw
