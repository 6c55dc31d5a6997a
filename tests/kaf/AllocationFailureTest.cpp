// The framework's strings under failing allocations: the library's own
// failure guarantees stand on these.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "hostapi/BString.h"
#include "support/AllocationControl.h"

namespace {

using alloc_control::TFailMode;
using alloc_control::TFailureScope;
using KAF::BString;
using KAF::BStringArray;

// True when `allocate` throws std::bad_alloc. GoogleTest's assertions
// allocate themselves, so they are kept out of armed scopes.
template <typename TFn> bool ThrowsBadAlloc(TFn allocate)
{
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

// Allocates and frees through a volatile pointer, which the compiler may
// not optimise away as it may a plain new/delete pair.
template <typename T> void NewAndDelete()
{
    static T* volatile s_pSink;
    s_pSink = new T[4];
    delete[] s_pSink;
}

TEST(AllocationControl, FailsTheChosenAllocationOnceOrFromThenOn)
{
    alloc_control::TScope scope;
    bool threw[3];
    bool failed;
    {
        TFailureScope plan(2, TFailMode::Once);
        for (bool& result : threw)
            result = ThrowsBadAlloc(NewAndDelete<char>);
        failed = alloc_control::Failed();
    }
    bool threwLater[2];
    char* pNothrow;
    {
        TFailureScope plan(1, TFailMode::FromThenOn);
        threwLater[0] = ThrowsBadAlloc(NewAndDelete<char>);
        threwLater[1] = ThrowsBadAlloc(NewAndDelete<int>);
        pNothrow = new (std::nothrow) char[4];
    }
    const long allocations = scope.Allocations();
    const long leaked = scope.Leaked();

    EXPECT_FALSE(threw[0]);
    EXPECT_TRUE(threw[1]);
    EXPECT_FALSE(threw[2]);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(threwLater[0]);
    EXPECT_TRUE(threwLater[1]);
    EXPECT_EQ(nullptr, pNothrow);
    EXPECT_EQ(2, allocations);
    EXPECT_EQ(0, leaked);
}

TEST(BStringAllocation, FailedAssignLeavesTheStringAsItWas)
{
    BString s("abc");
    char* const pBuffer = s.m_pData;
    bool threw;
    {
        TFailureScope plan(1, TFailMode::Once);
        threw = ThrowsBadAlloc([&] { s.Assign("a longer text", 13); });
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(pBuffer, s.m_pData);
    EXPECT_STREQ("abc", s.c_str());
    EXPECT_EQ(3u, s.m_length);

    alloc_control::TScope scope;
    {
        TFailureScope plan(1, TFailMode::Once);
        threw = ThrowsBadAlloc([] { BString("abc"); });
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(0, scope.Leaked());
}

TEST(BStringArrayAllocation, FailedAppendLeavesTheArrayAsItWas)
{
    BStringArray array;
    for (const char* text : {"one", "two", "three", "four"})
        array.PushBack(BString(text));
    const BString item("five");
    for (long k = 1;; ++k) {
        alloc_control::TScope scope;
        BString* const pItems = array.m_pItems;
        bool failed;
        {
            TFailureScope plan(k, TFailMode::Once);
            failed = ThrowsBadAlloc([&] { array.PushBack(item); });
        }
        if (!failed) {
            EXPECT_EQ(5, array.Count());
            EXPECT_STREQ("five", array.At(4).c_str());
            break;
        }
        EXPECT_EQ(0, scope.Leaked()) << "k=" << k;
        EXPECT_EQ(pItems, array.m_pItems);
        ASSERT_EQ(4, array.Count());
        EXPECT_STREQ("four", array.At(3).c_str());
    }
}

} // namespace
