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

using KAF::BString;

// Field f of record i as Fill makes it: "k<i>", "a<i>" or "b<i>".
struct TText {
    TText(int f, int32_t i) { std::snprintf(sz, sizeof sz, "%c%d", "kab"[f], static_cast<int>(i)); }
    char sz[16];
};

void Fill(VirtualDirs& table, int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
        table.PushBack(BString(TText(0, i).sz), BString(TText(1, i).sz), BString(TText(2, i).sz));
}

// Whether records 0 to n - 1 hold what Fill put there; allocates nothing.
bool Holds(const VirtualDirs& table, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        const VirtualDir& dir = table.At(i);
        if (std::strcmp(TText(0, i).sz, dir.key.c_str()) != 0 ||
            std::strcmp(TText(1, i).sz, dir.value1.c_str()) != 0 ||
            std::strcmp(TText(2, i).sz, dir.value2.c_str()) != 0)
            return false;
    }
    return true;
}

const BString g_key("new"), g_value1("v1"), g_value2("v2");

struct TSweep {
    long succeededAt = 0;      // the first k whose failure the operation outlived
    std::vector<long> changed; // the k's that left the table with another array
};

// Runs `operate` on a table to which `prepare` gave n records, with the k-th
// allocation failing, for k = 1, 2, ... until it succeeds.
TSweep Sweep(void (*prepare)(VirtualDirs&), int32_t n, void (*operate)(VirtualDirs&),
             int32_t grownCapacity)
{
    TSweep sweep;
    sweep.changed.reserve(64);
    for (long k = 1; k < 200 && sweep.succeededAt == 0; ++k) {
        alloc_control::TScope scope;
        bool threw, changed, intact, usable;
        int32_t count, capacity;
        {
            VirtualDirs table;
            prepare(table);
            const VirtualDir* const pDirs = table.Dirs();
            const int32_t before = table.Capacity();
            try {
                alloc_control::TFailureScope plan(k, alloc_control::TFailMode::Once);
                operate(table);
                threw = false;
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            changed = table.Dirs() != pDirs || table.Capacity() != before;
            count = table.Count();
            capacity = table.Capacity();
            intact = Holds(table, n);
            usable = table.PushBack(g_value1, g_value2, g_key) &&
                     table.Find(g_value1) == table.Count() - 1 && Holds(table, n);
        }
        const long leaked = scope.Leaked();
        EXPECT_EQ(0, leaked) << "k=" << k;
        EXPECT_TRUE(intact && usable) << "k=" << k;
        if (!threw) {
            sweep.succeededAt = k;
            break;
        }
        EXPECT_EQ(n, count) << "k=" << k;
        if (changed) {
            sweep.changed.push_back(k);
            EXPECT_EQ(grownCapacity, capacity) << "k=" << k;
        }
    }
    EXPECT_NE(0, sweep.succeededAt);
    return sweep;
}

void Append(VirtualDirs& table)
{
    table.PushBack(g_key, g_value1, g_value2);
}

TEST(VirtualDirsAllocation, FailedAppendWithRoomLeavesTheTableAsItWas)
{
    const TSweep sweep = Sweep([](VirtualDirs& t) { Fill(t, 3); }, 3, Append, 8);
    EXPECT_EQ(std::vector<long>{}, sweep.changed);
    EXPECT_EQ(4, sweep.succeededAt); // one allocation per string
}

// Up to the new record's own strings, a failure leaves the old array in
// place; only those three assignments find the table already grown.
TEST(VirtualDirsAllocation, FailedGrowthLeavesTheTableAsItWas)
{
    const TSweep sweep = Sweep([](VirtualDirs& t) { Fill(t, 8); }, 8, Append, 16);
    const long last = sweep.succeededAt;
    EXPECT_EQ(1 + 8 * 3 + 3 + 1, last);
    EXPECT_EQ((std::vector<long>{last - 3, last - 2, last - 1}), sweep.changed);
}

TEST(VirtualDirsAllocation, FailedFirstAppendToAClearedTableLeavesItCleared)
{
    auto cleared = [](VirtualDirs& t) {
        Fill(t, 2);
        t.Clear();
    };
    const TSweep sweep = Sweep(cleared, 0, Append, 8);
    EXPECT_EQ(1 + 3 + 1, sweep.succeededAt);
    EXPECT_EQ((std::vector<long>{2, 3, 4}), sweep.changed);
}

TEST(VirtualDirsAllocation, FailedCopyLeavesTheSourceAsItWas)
{
    const TSweep sweep = Sweep([](VirtualDirs& t) { Fill(t, 9); }, 9,
                               [](VirtualDirs& t) { const VirtualDirs copy(t); }, 0);
    EXPECT_EQ(std::vector<long>{}, sweep.changed);
    EXPECT_EQ(1 + 9 * 3 + 1, sweep.succeededAt);
}

} // namespace
