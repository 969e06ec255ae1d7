#pragma once
// In-process publish/subscribe on text topics. Messages are dv::Var values and
// callbacks dv::VarFunction values; queue size 0 delivers on the publishing
// thread, a queue size above 0 through one worker that drops the oldest
// waiting message when full.

#include "dv/var.h"
#include "fw/log.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace fw {

class PubSubSpace;
class Messenger;

class Publisher {
public:
    struct Impl;

    Publisher() = default;
    Publisher(const Publisher& other);
    Publisher(Publisher&& other) noexcept;
    Publisher& operator=(Publisher other) noexcept;
    virtual ~Publisher();

    // Delivers message to every subscriber of the topic; an empty handle does nothing.
    void publish(const dv::Var& message) const;

    // Handles order by the identity of their record.
    friend bool operator<(const Publisher& a, const Publisher& b) { return a.impl.get() < b.impl.get(); }

    std::shared_ptr<Impl> impl;  // empty for a handle that was never advertised

private:
    friend class Messenger;
    explicit Publisher(std::shared_ptr<Impl> record);
};

class Subscriber {
public:
    struct Impl;

    Subscriber() = default;
    Subscriber(const Subscriber& other);
    Subscriber(Subscriber&& other) noexcept;
    Subscriber& operator=(Subscriber other) noexcept;
    ~Subscriber();

    // Delivers one message by the subscriber's rule; an empty handle does nothing.
    virtual void deliver(const dv::Var& message) const;
    // Stops and unregisters the subscriber and empties this handle.
    void shutdown();

    friend bool operator<(const Subscriber& a, const Subscriber& b) { return a.impl.get() < b.impl.get(); }

    std::shared_ptr<Impl> impl;  // empty when never subscribed or shut down

private:
    friend class Messenger;
    explicit Subscriber(std::shared_ptr<Impl> record);
};

class Messenger {
public:
    struct Data;

    // The process-wide messenger, made on first use.
    static Messenger& instance();

    Messenger();
    Messenger(const Messenger& other);
    Messenger& operator=(const Messenger& other);
    virtual ~Messenger();

    template <typename T>
    Publisher advertise(const std::string& topic, size_t queueSize) {
        return advertiseType(topic, dv::VarClass::forType<T>(), queueSize);
    }

    Subscriber subscribe(const std::string& topic, size_t queueSize, const dv::VarFunction& callback);

    // Subscribes obj->method, which takes the payload as const Msg&. A payload
    // of another type fails in the callback's dispatch.
    template <typename Obj, typename Msg>
    Subscriber subscribe(const std::string& topic, size_t queueSize, void (Obj::*method)(const Msg&), Obj* obj) {
        if (!method || !obj) {
            FW_LOG(Error) << "Messenger::subscribe: no " << (obj ? "member function" : "object") << " for topic "
                          << topic;
            return Subscriber();
        }
        return subscribe(topic, queueSize,
                         dv::VarFunction([method, obj](const Msg& message) { (obj->*method)(message); }));
    }

    // Delivers a copy of message to every subscriber of topic, without a publisher.
    template <typename T>
    void publish(const std::string& topic, const T& message) {
        publishEach(topic, [&message]() -> dv::Var {
            if constexpr (std::is_same_v<T, dv::Var>) {
                return message;
            } else {
                return dv::Var(message);
            }
        });
    }

private:
    friend void setGlobalServices(Messenger* messenger, std::shared_ptr<LogSinkSet> logSinks);

    std::shared_ptr<Data> data() const;
    Publisher advertiseType(const std::string& topic, const dv::Var& type, size_t queueSize);
    void publishEach(const std::string& topic, const std::function<dv::Var()>& makeMessage);

    std::shared_ptr<Data> data_;
};

// Makes this module's messenger and log-sink set those of the given ones
// (another module's); the same ones change nothing.
void setGlobalServices(Messenger* messenger, std::shared_ptr<LogSinkSet> logSinks);

}  // namespace fw
