// The allocation controls the failure tests stand on, and the framework
// strings under failing allocations, on which the library's own failure
// guarantees rest.
#include <gtest/gtest.h>

#include <new>

#include "hostapi/BString.h"
#include "support/AllocationControl.h"

namespace {

using alloc_control::TFailMode;
using alloc_control::TFailureScope;
using KAF::BString;

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

TEST(FrameworkAllocation, FailedAssignOrAppendChangesNothing)
{
    BString s("abc");
    char* const pBuffer = s.m_pData;
    KAF::BStringArray array;
    for (int i = 0; i < 4; ++i) // full: the next append grows
        array.PushBack(s);
    BString* const pItems = array.m_pItems;
    alloc_control::TScope scope;
    bool threw[3];
    {
        TFailureScope plan(1, TFailMode::Once);
        threw[0] = ThrowsBadAlloc([&] { s.Assign("a longer text", 13); });
    }
    {
        TFailureScope plan(1, TFailMode::Once);
        threw[1] = ThrowsBadAlloc([&] { array.PushBack(s); });
    }
    {
        TFailureScope plan(2, TFailMode::Once); // copying the old items
        threw[2] = ThrowsBadAlloc([&] { array.PushBack(s); });
    }
    const long leaked = scope.Leaked();
    EXPECT_TRUE(threw[0] && threw[1] && threw[2]);
    EXPECT_EQ(0, leaked);
    EXPECT_EQ(pBuffer, s.m_pData);
    EXPECT_STREQ("abc", s.c_str());
    EXPECT_EQ(pItems, array.m_pItems);
    EXPECT_EQ(4, array.Count());
}

} // namespace
