// Delivery through the framework's dispatcher. What the event log relies on
// beyond this (a subscriber's exception, the trace guard) is tested there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostapi/BMessage.h"

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
    }

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

} // namespace
