// VirtualDirs under failing allocations: appends (with and without growth,
// to a cleared table), copy construction and removal.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Sweep.h"
#include "hostapi/BString.h"
#include "vdirs/VirtualDirs.h"

namespace {

using alloc_control::LiveBlocks;
using alloc_control::TFailMode;
using KAF::BString;
using TRecord = std::array<std::string, 3>;

// Every text differs in length from the others, so that moving one record
// over another needs a new buffer.
TRecord Record(int i)
{
    const std::string tail(static_cast<size_t>(i) + 1, static_cast<char>('a' + i % 26));
    return {"/key" + tail, "/value1/" + tail, "v2" + tail};
}

void Append(VirtualDirs& table, const TRecord& record)
{
    table.PushBack(BString(record[0].c_str()), BString(record[1].c_str()),
                   BString(record[2].c_str()));
}

// What a table looks like from outside, taken while no plan is armed.
struct TTable {
    const VirtualDir* pDirs;
    int32_t count;
    int32_t capacity;
    std::vector<TRecord> records; // those in use
};

TTable Snapshot(const VirtualDirs& table)
{
    TTable snapshot{table.Dirs(), table.Count(), table.Capacity(), {}};
    for (int32_t i = 0; i < table.Count(); ++i) {
        const VirtualDir& dir = table.At(i);
        snapshot.records.push_back({dir.key.c_str(), dir.value1.c_str(), dir.value2.c_str()});
    }
    return snapshot;
}

bool ValidString(const BString& s)
{
    if (s.m_pData == nullptr)
        return s.m_length == 0;
    return s.m_length <= s.m_capacity && std::strlen(s.m_pData) == s.m_length;
}

// The table's invariants: cleared, or an array of a positive multiple of 8
// records, every slot (spare ones included) a valid record.
bool Valid(const VirtualDirs& table)
{
    if (table.Dirs() == nullptr)
        return table.Count() == 0 && table.Capacity() == 0;
    if (table.Capacity() <= 0 || table.Capacity() % 8 != 0 || table.Count() < 0 ||
        table.Count() > table.Capacity())
        return false;
    for (int32_t i = 0; i < table.Capacity(); ++i) {
        const VirtualDir& dir = table.Dirs()[i];
        if (!ValidString(dir.key) || !ValidString(dir.value1) || !ValidString(dir.value2))
            return false;
    }
    return true;
}

// Appending a record once the table is set up as the case says.
struct TAppendCase {
    const char* szName;
    int records;  // appended first
    bool cleared; // then Clear()
};

const TAppendCase kAppendCases[] = {
    {"without growth", 3, false},
    {"with growth", 8, false},
    {"with a second growth", 16, false},
    {"to a cleared table", 2, true},
};

void SetUpTable(VirtualDirs& table, const TAppendCase& c)
{
    for (int i = 0; i < c.records; ++i)
        Append(table, Record(i));
    if (c.cleared)
        table.Clear();
}

TEST(VirtualDirsSweep, FailedAppendLeavesTheTableAsItsRulesSay)
{
    const TRecord added = Record(40);
    for (const TAppendCase& c : kAppendCases) {
        // Allocations of a whole append; its last three fill the new
        // record's three strings, which start without storage.
        long allocations;
        {
            VirtualDirs table;
            SetUpTable(table, c);
            alloc_control::TScope scope;
            Append(table, added);
            allocations = scope.Allocations();
        }
        for (TFailMode mode : sweep::kModes) {
            SCOPED_TRACE(std::string(c.szName) + ", " + sweep::ModeName(mode));
            long k = 1;
            for (bool done = false; !done; ++k) {
                ASSERT_LT(k, sweep::kMaxK);
                const long before = LiveBlocks();
                {
                    VirtualDirs table;
                    SetUpTable(table, c);
                    const TTable old = Snapshot(table);
                    const int32_t grownCapacity =
                        old.capacity == 0 ? 8 : old.capacity + (old.count == old.capacity ? 8 : 0);
                    const long live = LiveBlocks();
                    const sweep::TAttempt attempt = sweep::Armed(k, mode, [&] {
                        table.PushBack(BString(added[0].c_str()), BString(added[1].c_str()),
                                       BString(added[2].c_str()));
                    });
                    const long liveAfter = LiveBlocks();
                    const TTable now = Snapshot(table);
                    EXPECT_TRUE(Valid(table)) << "k=" << k;
                    done = sweep::Completed(attempt, k);
                    if (done) {
                        std::vector<TRecord> expected = old.records;
                        expected.push_back(added);
                        EXPECT_EQ(expected, now.records);
                        EXPECT_EQ(grownCapacity, now.capacity);
                    } else if (k <= allocations - 3) {
                        // No array, or the old records not copied: as before.
                        EXPECT_EQ(old.pDirs, now.pDirs) << "k=" << k;
                        EXPECT_EQ(old.capacity, now.capacity) << "k=" << k;
                        EXPECT_EQ(old.records, now.records) << "k=" << k;
                        EXPECT_EQ(live, liveAfter) << "k=" << k;
                    } else {
                        // The new record's own strings: the array is in
                        // place, the record not appended.
                        EXPECT_EQ(grownCapacity, now.capacity) << "k=" << k;
                        EXPECT_EQ(old.records, now.records) << "k=" << k;
                    }
                    // Usable afterwards: the next append lands right after
                    // the records in use.
                    const TRecord next = Record(41);
                    Append(table, next);
                    EXPECT_EQ(now.count + 1, table.Count());
                    EXPECT_STREQ(next[1].c_str(), table.At(table.Count() - 1).value1.c_str());
                    EXPECT_TRUE(Valid(table));
                }
                EXPECT_EQ(before, LiveBlocks()) << "k=" << k;
            }
            EXPECT_EQ(allocations + 1, k - 1) << "one failing run per allocation, then success";
        }
    }
}

TEST(VirtualDirsSweep, FailedCopyLeavesNothingAndTheSourceUnchanged)
{
    for (int records : {0, 9}) {
        VirtualDirs source;
        for (int i = 0; i < records; ++i)
            Append(source, Record(i));
        const TTable old = Snapshot(source);
        for (TFailMode mode : sweep::kModes) {
            SCOPED_TRACE(std::to_string(records) + " records, " + sweep::ModeName(mode));
            long k = 1;
            for (bool done = false; !done; ++k) {
                ASSERT_LT(k, sweep::kMaxK);
                const long before = LiveBlocks();
                {
                    std::optional<VirtualDirs> copy;
                    const sweep::TAttempt attempt =
                        sweep::Armed(k, mode, [&] { copy.emplace(source); });
                    const long liveAfter = LiveBlocks();
                    const TTable now = Snapshot(source);
                    EXPECT_EQ(old.pDirs, now.pDirs);
                    EXPECT_EQ(old.records, now.records);
                    done = sweep::Completed(attempt, k);
                    if (done) {
                        ASSERT_TRUE(copy.has_value());
                        const TTable copied = Snapshot(*copy);
                        EXPECT_NE(old.pDirs, copied.pDirs);
                        EXPECT_EQ(old.capacity, copied.capacity);
                        EXPECT_EQ(old.records, copied.records);
                        Append(*copy, Record(30));
                        EXPECT_EQ(old.records, Snapshot(source).records);
                    } else {
                        EXPECT_FALSE(copy.has_value());
                        EXPECT_EQ(before, liveAfter) << "k=" << k;
                    }
                }
                EXPECT_EQ(before, LiveBlocks()) << "k=" << k;
            }
            EXPECT_GT(k, 2) << "the copy allocates";
        }
    }
}

// Remove promises no more than the invariants on failure: the count and
// the array stay, every slot is a valid record, the records before the
// removed one are untouched, and the later ones are partly moved down.
TEST(VirtualDirsSweep, FailedRemoveKeepsTheInvariants)
{
    const int kRecords = 6;
    const int kRemoved = 1;
    for (TFailMode mode : sweep::kModes) {
        SCOPED_TRACE(sweep::ModeName(mode));
        long k = 1;
        for (bool done = false; !done; ++k) {
            ASSERT_LT(k, sweep::kMaxK);
            const long before = LiveBlocks();
            {
                VirtualDirs table;
                for (int i = 0; i < kRecords; ++i)
                    Append(table, Record(i));
                const TTable old = Snapshot(table);
                const BString key(old.records[kRemoved][0].c_str());
                bool removed = false;
                const sweep::TAttempt attempt =
                    sweep::Armed(k, mode, [&] { removed = table.Remove(key); });
                const TTable now = Snapshot(table);
                EXPECT_TRUE(Valid(table)) << "k=" << k;
                EXPECT_EQ(old.pDirs, now.pDirs);
                EXPECT_EQ(old.capacity, now.capacity);
                done = sweep::Completed(attempt, k);
                if (done) {
                    EXPECT_TRUE(removed);
                    std::vector<TRecord> expected = old.records;
                    expected.erase(expected.begin() + kRemoved);
                    EXPECT_EQ(expected, now.records);
                } else {
                    ASSERT_EQ(old.count, now.count) << "k=" << k;
                    for (int i = 0; i < kRemoved; ++i)
                        EXPECT_EQ(old.records[i], now.records[i]);
                    // Each field of a later slot is empty, kept, or moved
                    // down from the next slot; the removed text is gone.
                    for (int i = kRemoved; i < now.count; ++i) {
                        for (size_t f = 0; f < 3; ++f) {
                            const std::string& text = now.records[i][f];
                            const bool kept = i != kRemoved && text == old.records[i][f];
                            const bool moved = i + 1 < old.count && text == old.records[i + 1][f];
                            EXPECT_TRUE(text.empty() || kept || moved)
                                << "k=" << k << ", slot " << i << ": " << text;
                        }
                    }
                }
                // Usable afterwards: a new record can be added, found and
                // removed again.
                const TRecord extra = Record(50);
                Append(table, extra);
                const BString extraKey(extra[0].c_str());
                EXPECT_EQ(table.Count() - 1, table.Find(extraKey));
                EXPECT_TRUE(table.Remove(extraKey));
                EXPECT_TRUE(Valid(table));
            }
            EXPECT_EQ(before, LiveBlocks()) << "k=" << k;
        }
        EXPECT_GT(k, 2) << "moving the records allocates";
    }
}

} // namespace
