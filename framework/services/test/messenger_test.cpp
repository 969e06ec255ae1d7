#include "fw/messenger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

// A callback that appends every payload (read as int) to a list.
dv::VarFunction recorder(std::vector<int>& seen) {
    return dv::VarFunction([&seen](const int& value) { seen.push_back(value); });
}

struct Handler {
    void onInt(const int& value) { ints.push_back(value); }
    void onVar(const dv::Var& value) { vars.push_back(value); }
    void onFrame(const std::shared_ptr<std::string>& frame) { frames.push_back(frame); }
    std::vector<int> ints;
    std::vector<dv::Var> vars;
    std::vector<std::shared_ptr<std::string>> frames;
};

}  // namespace

TEST(Messenger, SynchronousDeliveryBeforePublishReturns) {
    fw::Messenger messenger;
    std::vector<int> seen;
    fw::Subscriber sub = messenger.subscribe("t.sync", 0, recorder(seen));
    messenger.publish("t.sync", 5);
    EXPECT_EQ(seen, (std::vector<int>{5}));

    fw::Publisher pub = messenger.advertise<int>("t.sync", 0);
    pub.publish(dv::Var(6));
    pub.publish(dv::Var(7));
    EXPECT_EQ(seen, (std::vector<int>{5, 6, 7}));
}

TEST(Messenger, TopicsAndMessengersAreSeparate) {
    fw::Messenger first;
    fw::Messenger second;
    fw::Messenger copy = first;
    std::vector<int> a, b;
    fw::Subscriber subA = first.subscribe("t.topic", 0, recorder(a));
    fw::Subscriber subB = first.subscribe("t.other", 0, recorder(b));
    second.publish("t.topic", 1);
    copy.publish("t.topic", 2);
    first.publish("t.nobody", 3);
    EXPECT_EQ(a, (std::vector<int>{2}));
    EXPECT_TRUE(b.empty());
}

TEST(Messenger, SubscribersAreCalledInIdentityOrder) {
    fw::Messenger messenger;
    std::vector<int> order;
    std::vector<std::pair<fw::Subscriber, int>> subs;
    for (int id = 0; id < 6; ++id) {
        subs.emplace_back(messenger.subscribe("t.order", 0, dv::VarFunction([&order, id](const dv::Var&) {
                                                  order.push_back(id);
                                              })),
                          id);
    }
    messenger.publish("t.order", 0);
    std::sort(subs.begin(), subs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<int> expected;
    for (const auto& s : subs) expected.push_back(s.second);
    EXPECT_EQ(order, expected);
}

TEST(Messenger, FailingCallbackStopsTheSynchronousPublish) {
    fw::Messenger messenger;
    std::vector<int> calls;
    int failing = 0;
    auto callback = [&calls, &failing](int id) {
        return dv::VarFunction([&calls, &failing, id](const dv::Var&) {
            if (id == failing) throw std::runtime_error("callback failed");
            calls.push_back(id);
        });
    };
    fw::Subscriber one = messenger.subscribe("t.fail", 0, callback(1));
    fw::Subscriber two = messenger.subscribe("t.fail", 0, callback(2));
    failing = one < two ? 1 : 2;  // the one delivered first
    EXPECT_THROW(messenger.publish("t.fail", 1), std::runtime_error);
    EXPECT_TRUE(calls.empty());
    failing = 0;
    messenger.publish("t.fail", 2);
    EXPECT_EQ(calls.size(), 2u);
}

TEST(Messenger, LastUserHandleUnsubscribes) {
    fw::Messenger messenger;
    std::vector<int> seen;
    auto sub = std::make_unique<fw::Subscriber>(messenger.subscribe("t.handles", 0, recorder(seen)));
    auto copy = std::make_unique<fw::Subscriber>(*sub);
    messenger.publish("t.handles", 1);
    sub.reset();
    messenger.publish("t.handles", 2);  // the copy keeps it registered
    fw::Subscriber moved = std::move(*copy);
    copy.reset();
    messenger.publish("t.handles", 3);
    moved = fw::Subscriber();
    messenger.publish("t.handles", 4);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(Messenger, ShutdownStopsEveryCopy) {
    fw::Messenger messenger;
    std::vector<int> seen;
    fw::Subscriber sub = messenger.subscribe("t.shutdown", 0, recorder(seen));
    fw::Subscriber copy = sub;
    messenger.publish("t.shutdown", 1);
    sub.shutdown();
    EXPECT_EQ(sub.impl, nullptr);
    messenger.publish("t.shutdown", 2);
    copy.deliver(dv::Var(3));  // a shut-down record drops what it is given
    sub.shutdown();            // empty handle: nothing happens
    EXPECT_EQ(seen, (std::vector<int>{1}));
}

TEST(Messenger, AnnouncesNewPublishersAndSubscribers) {
    fw::Messenger messenger;
    std::vector<fw::Publisher> pubs;
    std::vector<fw::Subscriber> subs;
    fw::Subscriber pubWatch = messenger.subscribe(
        "messenger/newpub", 0, dv::VarFunction([&pubs](const fw::Publisher& p) { pubs.push_back(p); }));
    fw::Subscriber subWatch = messenger.subscribe(
        "messenger/newsub", 0, dv::VarFunction([&subs](const fw::Subscriber& s) { subs.push_back(s); }));
    // Registered before it is announced, the watcher sees its own announcement.
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].impl, subWatch.impl);
    subs.clear();
    fw::Publisher pub = messenger.advertise<int>("t.announced", 0);
    std::vector<int> seen;
    fw::Subscriber sub = messenger.subscribe("t.announced", 0, recorder(seen));
    ASSERT_EQ(pubs.size(), 1u);
    EXPECT_EQ(pubs[0].impl, pub.impl);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].impl, sub.impl);
    // The announced copy is a user handle: it keeps the subscription alive.
    sub = fw::Subscriber();
    messenger.publish("t.announced", 9);
    EXPECT_EQ(seen, (std::vector<int>{9}));
    subs.clear();
    messenger.publish("t.announced", 10);
    EXPECT_EQ(seen, (std::vector<int>{9}));
}

TEST(Messenger, EmptyTopicGivesEmptyHandles) {
    fw::Messenger messenger;
    std::vector<int> announcements;
    fw::Subscriber watch = messenger.subscribe(
        "messenger/newsub", 0, dv::VarFunction([&announcements](const dv::Var&) { announcements.push_back(1); }));
    announcements.clear();  // its own announcement
    std::vector<int> seen;
    fw::Subscriber sub = messenger.subscribe("", 0, recorder(seen));
    fw::Publisher pub = messenger.advertise<int>("", 0);
    EXPECT_EQ(sub.impl, nullptr);
    EXPECT_EQ(pub.impl, nullptr);
    pub.publish(dv::Var(1));
    sub.deliver(dv::Var(1));
    sub.shutdown();
    messenger.publish("", 1);
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(announcements.empty());
    fw::Publisher never;
    never.publish(dv::Var(1));
}

TEST(Messenger, MemberFunctionSubscriptionChecksThePayloadType) {
    fw::Messenger messenger;
    Handler handler;
    fw::Subscriber sub = messenger.subscribe("t.member", 0, &Handler::onInt, &handler);
    messenger.publish("t.member", 4);
    EXPECT_THROW(messenger.publish("t.member", std::string("four")), dv::VarException);
    EXPECT_THROW(messenger.publish("t.member", 4.0), dv::VarException);
    try {
        messenger.publish("t.member", true);
        FAIL() << "a bool payload reached an int handler";
    } catch (const dv::VarException& e) {
        EXPECT_NE(std::string(e.what()).find("Unable cast"), std::string::npos) << e.what();
    }
    EXPECT_EQ(handler.ints, (std::vector<int>{4}));
}

TEST(Messenger, MemberFunctionTakingVarOrSharedPointer) {
    fw::Messenger messenger;
    Handler handler;
    fw::Subscriber anything = messenger.subscribe("t.var", 0, &Handler::onVar, &handler);
    fw::Subscriber frames = messenger.subscribe("t.frame", 0, &Handler::onFrame, &handler);
    messenger.publish("t.var", std::string("text"));
    messenger.publish("t.var", 2);
    auto frame = std::make_shared<std::string>("frame");
    messenger.publish("t.frame", frame);
    ASSERT_EQ(handler.vars.size(), 2u);
    EXPECT_EQ(handler.vars[0].convert<std::string>(), "text");
    ASSERT_EQ(handler.frames.size(), 1u);
    EXPECT_EQ(handler.frames[0], frame);
    EXPECT_THROW(messenger.publish("t.frame", std::make_shared<int>(1)), dv::VarException);
}

TEST(Messenger, MemberSubscriptionWithoutObjectIsRefused) {
    fw::Messenger messenger;
    testing::internal::CaptureStderr();
    fw::Subscriber sub = messenger.subscribe<Handler, int>("t.null", 0, &Handler::onInt, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sub.impl, nullptr);
    EXPECT_NE(err.find("Messenger::subscribe: no object for topic t.null"), std::string::npos);
    messenger.publish("t.null", 1);
}

TEST(Messenger, CallbackMayChangeSubscriptionsOfItsOwnTopic) {
    fw::Messenger messenger;
    std::vector<int> seen;
    fw::Subscriber self;
    fw::Subscriber added;
    self = messenger.subscribe("t.reentrant", 0, dv::VarFunction([&](const int& value) {
                                   seen.push_back(value);
                                   if (value == 1) {
                                       added = messenger.subscribe("t.reentrant", 0, recorder(seen));
                                       self.shutdown();
                                       messenger.publish("t.reentrant", 2);
                                   }
                               }));
    messenger.publish("t.reentrant", 1);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(Messenger, PublishingAVarDeliversTheSameValue) {
    fw::Messenger messenger;
    std::vector<dv::Var> got;
    fw::Subscriber sub =
        messenger.subscribe("t.same", 0, dv::VarFunction([&got](const dv::Var& v) { got.push_back(v); }));
    dv::Var payload = std::vector<dv::Var>{dv::Var(1), dv::Var(2)};
    messenger.publish("t.same", payload);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(&got[0].held(), &payload.held());
}

TEST(Messenger, InstanceIsProcessWide) {
    EXPECT_EQ(&fw::Messenger::instance(), &fw::Messenger::instance());
    std::vector<int> seen;
    fw::Subscriber sub = fw::Messenger::instance().subscribe("t.instance", 0, recorder(seen));
    fw::Messenger::instance().publish("t.instance", 1);
    EXPECT_EQ(seen, (std::vector<int>{1}));
}

TEST(Messenger, SetGlobalServicesAdoptsAnotherModulesServices) {
    fw::Messenger host;
    std::vector<int> seen;
    fw::Subscriber sub = host.subscribe("t.host", 0, recorder(seen));
    auto hostSinks = std::make_shared<fw::LogSinkSet>();
    const std::shared_ptr<fw::LogSinkSet> ownSinks = fw::getLogSinks();

    fw::setGlobalServices(&host, hostSinks);
    fw::Messenger::instance().publish("t.host", 1);
    EXPECT_EQ(seen, (std::vector<int>{1}));
    EXPECT_EQ(fw::getLogSinks(), hostSinks);

    fw::setGlobalServices(nullptr, ownSinks);
    EXPECT_EQ(fw::getLogSinks(), ownSinks);
}

TEST(Messenger, SetGlobalServicesWithOwnServicesChangesNothing) {
    std::vector<int> seen;
    fw::Subscriber sub = fw::Messenger::instance().subscribe("t.own", 0, recorder(seen));
    std::shared_ptr<fw::LogSinkSet>& sinks = fw::getLogSinks();
    const fw::LogSinkSet* before = sinks.get();
    fw::setGlobalServices(&fw::Messenger::instance(), fw::getLogSinks());
    fw::Messenger copy = fw::Messenger::instance();
    fw::setGlobalServices(&copy, fw::getLogSinks());
    EXPECT_EQ(fw::getLogSinks().get(), before);
    fw::Messenger::instance().publish("t.own", 1);
    EXPECT_EQ(seen, (std::vector<int>{1}));
}
