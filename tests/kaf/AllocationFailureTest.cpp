// The allocation controls that every failure test stands on, and the
// framework string's own guarantee under a failing allocation.
#include <gtest/gtest.h>

#include <new>

#include "hostapi/BString.h"
#include "support/AllocationControl.h"

namespace {

using alloc_control::TFailMode;
using alloc_control::TFailureScope;

// True when `run` throws std::bad_alloc. GoogleTest's assertions allocate
// themselves, so they are kept out of armed scopes.
template <typename TFn> bool ThrowsBadAlloc(TFn run)
{
    try {
        run();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

// Through a volatile pointer, which the compiler may not optimise away as
// it may a plain new/delete pair.
void NewAndDelete()
{
    static char* volatile s_pSink;
    s_pSink = new char[4];
    delete[] s_pSink;
}

TEST(AllocationControl, FailsTheChosenAllocationOnceOrFromThenOn)
{
    alloc_control::TScope scope;
    bool once[3];
    bool fromThenOn[2];
    char* pNothrow;
    {
        TFailureScope plan(2, TFailMode::Once);
        for (bool& threw : once)
            threw = ThrowsBadAlloc(NewAndDelete);
    }
    {
        TFailureScope plan(1, TFailMode::FromThenOn);
        for (bool& threw : fromThenOn)
            threw = ThrowsBadAlloc(NewAndDelete);
        pNothrow = new (std::nothrow) char[4];
    }
    const long allocations = scope.Allocations();
    const long leaked = scope.Leaked();
    EXPECT_FALSE(once[0]);
    EXPECT_TRUE(once[1]);
    EXPECT_FALSE(once[2]);
    EXPECT_TRUE(fromThenOn[0] && fromThenOn[1]);
    EXPECT_EQ(nullptr, pNothrow);
    EXPECT_EQ(2, allocations);
    EXPECT_EQ(0, leaked);
}

TEST(FrameworkAllocation, FailedAssignKeepsTheText)
{
    KAF::BString s("abc");
    bool threw;
    {
        TFailureScope plan(1, TFailMode::Once);
        threw = ThrowsBadAlloc([&] { s.Assign("a longer text", 13); });
    }
    EXPECT_TRUE(threw);
    EXPECT_STREQ("abc", s.c_str());
    EXPECT_EQ(3u, s.m_length);
}

} // namespace
