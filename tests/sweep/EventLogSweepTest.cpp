// MuroxLogEvent under failing allocations: the first call, which makes the dispatcher, and a later
// one.
#include "eventlog/MuroxLogEvent.h"
#include "tests/support/EventTestSupport.h"
#include "tests/sweep/Sweep.h"

namespace {

using KAF::BMessageDispatcher;

void LogEvent()
{
    MuroxLogEvent("event %d of %s", 7, "sweep");
}

// A recorder subscribed to a dispatcher that is installed, or not.
struct TFixture {
    explicit TFixture(bool installed) : scope(installed ? &dispatcher : nullptr)
    {
        dispatcher.Subscribe(&recorder);
    }
    BMessageDispatcher dispatcher;
    eventlog_test::TInstanceScope scope; // deletes a dispatcher made meanwhile
    eventlog_test::TRecorder recorder;
};

TEST(EventLogSweep, FailedEventPublishesNothingAndTheNextOneGoesOut)
{
    for (bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "later call" : "first call");
        const auto check = [&](TFixture& f, bool completed) {
            BMessageDispatcher* const pNow = BMessageDispatcher::s_pInstance;
            // The host's dispatcher is kept; one made here is stored once whole, without
            // subscribers.
            EXPECT_EQ(installed ? &f.dispatcher : completed ? pNow : nullptr, pNow);
            EXPECT_TRUE(installed || !completed || (pNow && pNow->SubscriberCount() == 0));
            EXPECT_EQ(installed && completed ? 1 : 0, f.recorder.m_informed);
            // Usable afterwards: the next call finds or makes the dispatcher, publishes the whole
            // text.
            LogEvent();
            ASSERT_TRUE(BMessageDispatcher::s_pInstance != nullptr &&
                        (pNow == nullptr || pNow == BMessageDispatcher::s_pInstance));
            eventlog_test::TRecorder recorder;
            BMessageDispatcher::s_pInstance->Subscribe(&recorder);
            LogEvent();
            BMessageDispatcher::s_pInstance->Unsubscribe(&recorder);
            EXPECT_EQ(1, recorder.m_informed);
            EXPECT_EQ(sizeof("event 7 of sweep") - 1, recorder.m_lastLength);
        };
        // First: text, dispatcher, subscriber array; later: the message's copy of the text alone.
        EXPECT_EQ(installed ? 1 : 3,
                  sweep::Sweep([&] { return std::make_unique<TFixture>(installed); },
                               [](TFixture&) { LogEvent(); }, check));
    }
}

} // namespace
