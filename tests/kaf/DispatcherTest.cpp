// Delivery through the framework's dispatcher, and its trace guard.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostapi/BMessage.h"
#include "hostapi/TTraceGuard.h"

namespace {

using KAF::BMessage;
using KAF::BMessageDispatcher;
using TLog = std::vector<std::string>;

class TRecorder : public KAF::IMessageSubscriber {
public:
    TRecorder(TLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
    void Inform(const BMessage& msg) override
    {
        m_log.push_back(m_name + std::to_string(msg.m_msgId));
        if (m_onInform)
            m_onInform();
    }
    std::function<void()> m_onInform;

private:
    TLog& m_log;
    std::string m_name;
};

TEST(BMessageDispatcher, DeliversInSubscriptionOrder)
{
    BMessageDispatcher dispatcher;
    TLog log;
    std::vector<TRecorder> recorders;
    for (const char* name : {"a", "b", "c", "d", "e"})
        recorders.emplace_back(log, name);
    for (TRecorder& recorder : recorders)
        EXPECT_EQ(1, dispatcher.Subscribe(&recorder)); // five outgrow the first array
    EXPECT_EQ(0, dispatcher.Subscribe(&recorders[1])) << "no double subscription";
    EXPECT_EQ(0, dispatcher.Subscribe(nullptr));

    EXPECT_EQ(5, dispatcher.Publish(BMessage(5)));
    EXPECT_EQ((TLog{"a5", "b5", "c5", "d5", "e5"}), log);

    EXPECT_EQ(1, dispatcher.Unsubscribe(&recorders[1]));
    EXPECT_EQ(0, dispatcher.Unsubscribe(&recorders[1]));
    log.clear();
    EXPECT_EQ(4, dispatcher.Publish(BMessage(6)));
    EXPECT_EQ((TLog{"a6", "c6", "d6", "e6"}), log);
}

TEST(BMessageDispatcher, ChangesDuringDeliveryApplyToLaterTurns)
{
    BMessageDispatcher dispatcher;
    TLog log;
    TRecorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d");
    for (TRecorder* p : {&a, &b, &c})
        dispatcher.Subscribe(p);
    a.m_onInform = [&] {
        dispatcher.Unsubscribe(&a);
        dispatcher.Unsubscribe(&c);
        dispatcher.Subscribe(&d);
    };
    EXPECT_EQ(2, dispatcher.Publish(BMessage(1)));
    EXPECT_EQ((TLog{"a1", "b1"}), log) << "c was removed before its turn, d waits";
    log.clear();
    dispatcher.Publish(BMessage(2));
    EXPECT_EQ((TLog{"b2", "d2"}), log);
}

TEST(BMessageDispatcher, SubscriberExceptionPassesThroughAndDeliveryRecovers)
{
    BMessageDispatcher dispatcher;
    TLog log;
    TRecorder a(log, "a"), b(log, "b"), c(log, "c");
    for (TRecorder* p : {&a, &b, &c})
        dispatcher.Subscribe(p);
    b.m_onInform = [&] {
        dispatcher.Unsubscribe(&a);
        throw std::runtime_error("subscriber failed");
    };
    EXPECT_THROW(dispatcher.Publish(BMessage(1)), std::runtime_error);
    EXPECT_EQ((TLog{"a1", "b1"}), log);
    b.m_onInform = nullptr;
    log.clear();
    EXPECT_EQ(2, dispatcher.Publish(BMessage(2)));
    EXPECT_EQ((TLog{"b2", "c2"}), log) << "the removal during the failed delivery holds";
}

TEST(TTraceGuard, CountsOpenAndOpenedGuards)
{
    const int depth = KAF::TTraceGuard::Depth();
    const unsigned entries = KAF::TTraceGuard::Entries();
    {
        KAF::TTraceGuard outer;
        KAF::TTraceGuard inner;
        EXPECT_EQ(depth + 2, KAF::TTraceGuard::Depth());
    }
    EXPECT_EQ(depth, KAF::TTraceGuard::Depth());
    EXPECT_EQ(entries + 2, KAF::TTraceGuard::Entries());
}

} // namespace
