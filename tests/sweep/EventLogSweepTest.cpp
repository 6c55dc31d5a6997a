// MuroxLogEvent under failing allocations: the first call, which creates
// the dispatcher, and later calls, whose subscribers may allocate too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Sweep.h"
#include "eventlog/EventTestSupport.h"
#include "eventlog/MuroxLogEvent.h"
#include "hostapi/BMessage.h"

namespace {

using alloc_control::LiveBlocks;
using alloc_control::TFailMode;
using eventlog_test::TInstanceScope;
using eventlog_test::TRecorder;
using KAF::BMessageDispatcher;

const char kText[] = "event 7 of sweep";

void LogEvent()
{
    MuroxLogEvent("event %d of %s", 7, "sweep");
}

TEST(EventLogSweep, FailedFirstCallLeavesNoDispatcherAndNothingAllocated)
{
    for (TFailMode mode : sweep::kModes) {
        SCOPED_TRACE(sweep::ModeName(mode));
        long k = 1;
        for (bool done = false; !done; ++k) {
            ASSERT_LT(k, sweep::kMaxK);
            const long before = LiveBlocks();
            {
                // No dispatcher yet; the scope deletes the one made here and
                // puts the process's own back.
                TInstanceScope noDispatcher(nullptr);
                const sweep::TAttempt attempt = sweep::Armed(k, mode, LogEvent);
                const long liveAfter = LiveBlocks();
                BMessageDispatcher* const pCreated = BMessageDispatcher::s_pInstance;
                done = sweep::Completed(attempt, k);
                if (done) {
                    ASSERT_NE(nullptr, pCreated);
                    EXPECT_EQ(0, pCreated->SubscriberCount());
                } else {
                    EXPECT_EQ(nullptr, pCreated) << "k=" << k;
                    EXPECT_EQ(before, liveAfter) << "k=" << k;
                }
                // Usable afterwards: the next call finds or makes the
                // dispatcher and publishes through it.
                LogEvent();
                ASSERT_NE(nullptr, BMessageDispatcher::s_pInstance);
                TRecorder recorder;
                BMessageDispatcher::s_pInstance->Subscribe(&recorder);
                LogEvent();
                BMessageDispatcher::s_pInstance->Unsubscribe(&recorder);
                EXPECT_EQ(1, recorder.m_informed);
                EXPECT_EQ(101, recorder.m_lastId);
            }
            EXPECT_EQ(before, LiveBlocks()) << "k=" << k;
        }
        // The text, the dispatcher and its subscriber array.
        EXPECT_GT(k, 3);
    }
}

// With the dispatcher in place, once with a subscriber that allocates
// nothing and once with one that keeps every text it is given.
TEST(EventLogSweep, FailedLaterCallPublishesNothingAndLeavesNothing)
{
    for (bool keepsTexts : {false, true}) {
        for (TFailMode mode : sweep::kModes) {
            SCOPED_TRACE(std::string(keepsTexts ? "keeping" : "counting") + " subscriber, " +
                         sweep::ModeName(mode));
            long k = 1;
            for (bool done = false; !done; ++k) {
                ASSERT_LT(k, sweep::kMaxK);
                BMessageDispatcher dispatcher;
                TInstanceScope installed(&dispatcher);
                std::vector<std::string> texts;
                TRecorder recorder(keepsTexts ? &texts : nullptr);
                dispatcher.Subscribe(&recorder);
                const long before = LiveBlocks();
                const sweep::TAttempt attempt = sweep::Armed(k, mode, LogEvent);
                const long liveAfter = LiveBlocks();
                done = sweep::Completed(attempt, k);
                EXPECT_EQ(&dispatcher, BMessageDispatcher::s_pInstance);
                if (done) {
                    EXPECT_EQ(1, recorder.m_informed);
                    EXPECT_EQ(sizeof kText - 1, recorder.m_lastLength);
                    EXPECT_EQ(keepsTexts ? std::vector<std::string>{kText}
                                         : std::vector<std::string>{},
                              texts);
                } else {
                    // The text copy failed before delivery, or the
                    // subscriber's own allocation during it.
                    EXPECT_LE(recorder.m_informed, 1) << "k=" << k;
                    EXPECT_TRUE(texts.empty()) << "k=" << k;
                    EXPECT_EQ(before, liveAfter) << "k=" << k;
                }
                const int informed = recorder.m_informed;
                LogEvent();
                EXPECT_EQ(informed + 1, recorder.m_informed);
                dispatcher.Unsubscribe(&recorder);
            }
            EXPECT_GT(k, 1);
        }
    }
}

} // namespace
