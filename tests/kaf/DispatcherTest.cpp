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

class TRecorder : public KAF::IMessageSubscriber {
public:
    TRecorder(std::vector<std::string>& log, std::string name) : m_log(log), m_name(std::move(name))
    {
    }
    void Inform(const BMessage& msg) override
    {
        m_log.push_back(m_name + ":" + std::to_string(msg.m_msgId) + ":" + msg.m_text.c_str());
        if (m_onInform)
            m_onInform();
    }
    std::function<void()> m_onInform;

private:
    std::vector<std::string>& m_log;
    std::string m_name;
};

BMessage Message(int id, const char* text)
{
    BMessage msg(id);
    msg.m_text.Assign(text, KAF::BString::Strlen(text));
    return msg;
}

TEST(BMessageDispatcher, DeliversToEverySubscriberInOrder)
{
    BMessageDispatcher dispatcher;
    std::vector<std::string> log;
    TRecorder a(log, "a"), b(log, "b"), c(log, "c");
    EXPECT_EQ(1, dispatcher.Subscribe(&a));
    EXPECT_EQ(1, dispatcher.Subscribe(&b));
    EXPECT_EQ(1, dispatcher.Subscribe(&c));
    EXPECT_EQ(0, dispatcher.Subscribe(&b)) << "no double subscription";
    EXPECT_EQ(0, dispatcher.Subscribe(nullptr));
    EXPECT_EQ(3, dispatcher.SubscriberCount());

    EXPECT_EQ(3, dispatcher.Publish(Message(5, "hi")));
    EXPECT_EQ((std::vector<std::string>{"a:5:hi", "b:5:hi", "c:5:hi"}), log);

    EXPECT_EQ(1, dispatcher.Unsubscribe(&b));
    EXPECT_EQ(0, dispatcher.Unsubscribe(&b));
    log.clear();
    EXPECT_EQ(2, dispatcher.Publish(Message(6, "x")));
    EXPECT_EQ((std::vector<std::string>{"a:6:x", "c:6:x"}), log);
}

TEST(BMessageDispatcher, UnsubscribingDuringDeliveryStopsLaterDeliveries)
{
    BMessageDispatcher dispatcher;
    std::vector<std::string> log;
    TRecorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d");
    for (TRecorder* p : {&a, &b, &c})
        dispatcher.Subscribe(p);
    // a removes itself and c, and adds d, while the message is delivered.
    a.m_onInform = [&] {
        dispatcher.Unsubscribe(&a);
        dispatcher.Unsubscribe(&c);
        dispatcher.Subscribe(&d);
    };
    EXPECT_EQ(2, dispatcher.Publish(Message(1, "m1")));
    EXPECT_EQ((std::vector<std::string>{"a:1:m1", "b:1:m1"}), log);
    EXPECT_EQ(2, dispatcher.SubscriberCount());

    log.clear();
    dispatcher.Publish(Message(2, "m2"));
    EXPECT_EQ((std::vector<std::string>{"b:2:m2", "d:2:m2"}), log);
}

TEST(BMessageDispatcher, SubscriberExceptionPassesThroughAndDeliveryRecovers)
{
    BMessageDispatcher dispatcher;
    std::vector<std::string> log;
    TRecorder a(log, "a"), b(log, "b"), c(log, "c");
    dispatcher.Subscribe(&a);
    dispatcher.Subscribe(&b);
    dispatcher.Subscribe(&c);
    b.m_onInform = [&] {
        dispatcher.Unsubscribe(&a);
        throw std::runtime_error("subscriber failed");
    };
    EXPECT_THROW(dispatcher.Publish(Message(1, "m")), std::runtime_error);
    EXPECT_EQ((std::vector<std::string>{"a:1:m", "b:1:m"}), log);

    b.m_onInform = nullptr;
    log.clear();
    EXPECT_EQ(2, dispatcher.Publish(Message(2, "n")));
    EXPECT_EQ((std::vector<std::string>{"b:2:n", "c:2:n"}), log);
}

TEST(BMessageDispatcher, GrowsBeyondItsFirstArray)
{
    BMessageDispatcher dispatcher;
    std::vector<std::string> log;
    std::vector<TRecorder> recorders;
    recorders.reserve(9);
    for (int i = 0; i < 9; ++i) {
        recorders.emplace_back(log, std::to_string(i));
        ASSERT_EQ(1, dispatcher.Subscribe(&recorders.back()));
    }
    EXPECT_EQ(9, dispatcher.Publish(Message(3, "")));
    ASSERT_EQ(9u, log.size());
    EXPECT_EQ("8:3:", log.back());
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
