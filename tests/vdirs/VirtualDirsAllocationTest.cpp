// Appends and copies under a failing allocator, each allocation in turn:
// the failure reaches the caller, nothing leaks and the table is left as
// its failure guarantees say, ready for use.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "support/AllocationControl.h"
#include "vdirs/VirtualDirs.h"

namespace {

using alloc_control::TFailMode;
using alloc_control::TFailureScope;
using KAF::BString;

// Record i holds "k<i>", "a<i>", "b<i>".
void Fill(VirtualDirs& table, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        char texts[3][16];
        for (int f = 0; f < 3; ++f)
            std::snprintf(texts[f], sizeof texts[f], "%c%d", "kab"[f], static_cast<int>(i));
        table.PushBack(BString(texts[0]), BString(texts[1]), BString(texts[2]));
    }
}

// Whether records 0 to n - 1 hold what Fill put there; allocates nothing.
bool Holds(const VirtualDirs& table, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        const BString* fields[3] = {&table.At(i).key, &table.At(i).value1, &table.At(i).value2};
        for (int f = 0; f < 3; ++f) {
            char expected[16];
            std::snprintf(expected, sizeof expected, "%c%d", "kab"[f], static_cast<int>(i));
            if (std::strcmp(expected, fields[f]->c_str()) != 0)
                return false;
        }
    }
    return true;
}

struct TState {
    const VirtualDir* pDirs;
    int32_t count;
    int32_t capacity;
    bool holds; // records 0 to n - 1 as filled
};

TState StateOf(const VirtualDirs& table, int32_t n)
{
    return {table.Dirs(), table.Count(), table.Capacity(), Holds(table, n)};
}

template <typename TFn> bool ThrowsBadAlloc(TFn operation)
{
    try {
        operation();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

struct TSweep {
    long succeededAt = 0;      // the first k whose failure plan the append outlived
    std::vector<long> changed; // k's that left the table with another array
};

// Appends to a table that `prepare` gives n records, with the k-th
// allocation failing, for k = 1, 2, ... until the append succeeds.
TSweep SweepAppend(void (*prepare)(VirtualDirs&), int32_t n, int32_t grownCapacity)
{
    const BString key("new"), value1("v1"), value2("v2");
    TSweep sweep;
    sweep.changed.reserve(64);
    for (long k = 1; k < 200 && sweep.succeededAt == 0; ++k) {
        alloc_control::TScope scope;
        TState before, after;
        bool threw, usable;
        {
            VirtualDirs table;
            prepare(table);
            before = StateOf(table, n);
            {
                TFailureScope plan(k, TFailMode::Once);
                threw = ThrowsBadAlloc([&] { table.PushBack(key, value1, value2); });
            }
            after = StateOf(table, n);
            usable = (!threw || table.PushBack(key, value1, value2)) && table.Find(key) == n &&
                     table.Count() == n + 1 && Holds(table, n);
        }
        const long leaked = scope.Leaked();
        EXPECT_EQ(0, leaked) << "k=" << k;
        EXPECT_TRUE(usable) << "k=" << k;
        if (!threw) {
            sweep.succeededAt = k;
            break;
        }
        EXPECT_EQ(n, after.count) << "k=" << k;
        EXPECT_TRUE(after.holds) << "k=" << k;
        if (after.pDirs != before.pDirs || after.capacity != before.capacity) {
            sweep.changed.push_back(k);
            EXPECT_EQ(grownCapacity, after.capacity) << "k=" << k;
        }
    }
    EXPECT_NE(0, sweep.succeededAt);
    return sweep;
}

TEST(VirtualDirsAllocation, FailedAppendWithRoomLeavesTheTableAsItWas)
{
    const TSweep sweep = SweepAppend([](VirtualDirs& t) { Fill(t, 3); }, 3, 8);
    EXPECT_EQ(std::vector<long>{}, sweep.changed);
    EXPECT_EQ(4, sweep.succeededAt); // one allocation per string
}

// Up to the new record's own strings, a failure leaves the old array in
// place; only those three assignments find the table already grown.
TEST(VirtualDirsAllocation, FailedGrowthLeavesTheTableAsItWas)
{
    const TSweep sweep = SweepAppend([](VirtualDirs& t) { Fill(t, 8); }, 8, 16);
    const long last = sweep.succeededAt;
    EXPECT_EQ(1 + 8 * 3 + 3 + 1, last);
    EXPECT_EQ((std::vector<long>{last - 3, last - 2, last - 1}), sweep.changed);
}

TEST(VirtualDirsAllocation, FailedFirstAppendToAClearedTableLeavesItCleared)
{
    const TSweep sweep = SweepAppend(
        [](VirtualDirs& t) {
            Fill(t, 2);
            t.Clear();
        },
        0, 8);
    const long last = sweep.succeededAt;
    EXPECT_EQ(1 + 3 + 1, last);
    EXPECT_EQ((std::vector<long>{last - 3, last - 2, last - 1}), sweep.changed);
}

TEST(VirtualDirsAllocation, FailedCopyLeavesTheSourceAsItWasAndLeaksNothing)
{
    VirtualDirs source;
    Fill(source, 9);
    const TState before = StateOf(source, 9);
    long k = 1;
    for (; k < 200; ++k) {
        alloc_control::TScope scope;
        bool threw;
        {
            TFailureScope plan(k, TFailMode::Once);
            threw = ThrowsBadAlloc([&] { const VirtualDirs copy(source); });
        }
        const long leaked = scope.Leaked();
        const TState after = StateOf(source, 9);
        EXPECT_EQ(0, leaked) << "k=" << k;
        EXPECT_TRUE(after.pDirs == before.pDirs && after.count == 9 && after.capacity == 16 &&
                    after.holds)
            << "k=" << k;
        if (!threw)
            break;
    }
    EXPECT_EQ(1 + 9 * 3 + 1, k);
    Fill(source, 1);
    EXPECT_EQ(10, source.Count());
}

} // namespace
