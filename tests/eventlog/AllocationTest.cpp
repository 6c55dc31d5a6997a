// MuroxLogEvent's heap use, and its clean-up when the allocator, the
// dispatcher's constructor or a subscriber fails.
#include <gtest/gtest.h>

#include <new>

#include "EventTestSupport.h"
#include "eventlog/MuroxLogEvent.h"
#include "support/AllocationControl.h"

namespace {

using alloc_control::TFailMode;
using alloc_control::TFailureScope;
using eventlog_test::TInstanceScope;
using eventlog_test::TRecorder;
using KAF::BMessageDispatcher;

// GoogleTest's assertions allocate, so results of armed calls are kept in
// plain variables and checked after the plan is disarmed.
bool LogThrowsBadAlloc(long k)
{
    TFailureScope plan(k, TFailMode::Once);
    try {
        MuroxLogEvent("event %d", 42);
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

class EventAllocation : public ::testing::Test {
protected:
    void SetUp() override { m_dispatcher.Subscribe(&m_recorder); }

    BMessageDispatcher m_dispatcher;
    TInstanceScope m_scope{&m_dispatcher};
    TRecorder m_recorder;
};

TEST_F(EventAllocation, OneAllocationPerEventTheTextCopy)
{
    alloc_control::TScope scope;
    MuroxLogEvent("event %d of %s", 1, "many");
    const long allocations = scope.Allocations();
    const long leaked = scope.Leaked();
    EXPECT_EQ(1, allocations);
    EXPECT_EQ(0, leaked);
    EXPECT_EQ(1, m_recorder.m_informed);

    m_dispatcher.Unsubscribe(&m_recorder);
    alloc_control::TScope unheard;
    MuroxLogEvent("nobody listens");
    EXPECT_EQ(0, unheard.Leaked());
}

TEST_F(EventAllocation, FailedTextCopyReachesTheCallerWithNothingPublished)
{
    alloc_control::TScope scope;
    const bool threw = LogThrowsBadAlloc(1);
    EXPECT_TRUE(threw);
    EXPECT_EQ(0, scope.Leaked());
    EXPECT_EQ(0, m_recorder.m_informed);
    MuroxLogEvent("next");
    EXPECT_EQ(1, m_recorder.m_informed);
}

TEST_F(EventAllocation, SubscriberExceptionReleasesTheMessage)
{
    m_recorder.m_fail = true;
    alloc_control::TScope scope;
    bool threw = false;
    try {
        MuroxLogEvent("event %d", 7);
    } catch (const eventlog_test::TSubscriberFailure&) {
        threw = true;
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(0, scope.Leaked());
}

// Fails each allocation of a first event in turn: the text copy, the
// dispatcher's block, the subscriber array its constructor makes.
TEST(EventAllocationFirstUse, FailedDispatcherCreationLeavesNoneAndTheNextCallRetries)
{
    TInstanceScope instance(nullptr);
    long k = 1;
    for (;; ++k) {
        alloc_control::TScope scope;
        const bool threw = LogThrowsBadAlloc(k);
        if (!threw) {
            EXPECT_EQ(3, scope.Allocations());
            break;
        }
        EXPECT_EQ(0, scope.Leaked()) << "failing allocation " << k;
        EXPECT_EQ(nullptr, BMessageDispatcher::s_pInstance) << "failing allocation " << k;
    }
    EXPECT_EQ(4, k) << "the first event allocates three blocks";
    EXPECT_NE(nullptr, BMessageDispatcher::s_pInstance);
}

} // namespace
