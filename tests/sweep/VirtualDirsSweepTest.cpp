// VirtualDirs under failing allocations: appends, copy construction and removal.
#include <array>
#include <optional>

#include "tests/sweep/Sweep.h"
#include "vdirs/VirtualDirs.h"

namespace {

using KAF::BString;
using TRecords = std::vector<std::array<std::string, 3>>;

// Texts of different lengths, so that moving one record over another needs a new buffer.
std::array<std::string, 3> Record(size_t i)
{
    return {std::string(i + 1, 'k'), std::string(i + 2, 'v'), std::string(i + 3, 'w')};
}

void Append(VirtualDirs& table, size_t i)
{
    const auto r = Record(i);
    table.PushBack(BString(r[0].c_str()), BString(r[1].c_str()), BString(r[2].c_str()));
}

TRecords Records(const VirtualDirs& t)
{
    TRecords records;
    for (int32_t i = 0; i < t.Count(); ++i)
        records.push_back({t.At(i).key.c_str(), t.At(i).value1.c_str(), t.At(i).value2.c_str()});
    return records;
}

enum class TOp { Append, Copy, Remove };

// A table set up for a case, and what it looked like before the operation.
struct TFixture {
    VirtualDirs table;
    const VirtualDir* pDirs = nullptr;
    int32_t capacity = 0;
    TRecords records;
    std::optional<VirtualDirs> copy;
};

TEST(VirtualDirsSweep, EveryFailureLeavesTheTableAsItsRulesSay)
{
    // The operation on a table of `records` records; none: a cleared table.
    const struct {
        TOp op;
        size_t records;
    } cases[] = {
        {TOp::Append, 3}, {TOp::Append, 8}, {TOp::Append, 0}, {TOp::Copy, 9}, {TOp::Remove, 6}};
    // Made before the sweeps, so that only the table's allocations count.
    const auto added = Record(40);
    const BString key(added[0].c_str()), value1(added[1].c_str()), value2(added[2].c_str());
    const BString removedKey(Record(1)[0].c_str()), extraKey(Record(50)[0].c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.op) << " on " << c.records);
        const auto make = [&] {
            auto p = std::make_unique<TFixture>();
            for (size_t i = 0; i < c.records; ++i)
                Append(p->table, i);
            if (c.records == 0)
                p->table.Clear();
            p->pDirs = p->table.Dirs();
            p->capacity = p->table.Capacity();
            p->records = Records(p->table);
            return p;
        };
        const auto operate = [&](TFixture& f) {
            if (c.op == TOp::Append)
                f.table.PushBack(key, value1, value2);
            else if (c.op == TOp::Copy)
                f.copy.emplace(f.table);
            else
                f.table.Remove(removedKey);
        };
        long k = 0; // of a failing run
        const auto check = [&](TFixture& f, bool completed) {
            k = completed ? 0 : k + 1;
            // Only a growing append gets a new array, and fails only from the new record's strings
            // on.
            const bool grown = c.op == TOp::Append && c.records % 8 == 0 &&
                               (completed || k > static_cast<long>(1 + 3 * c.records));
            EXPECT_EQ(grown, f.table.Dirs() != f.pDirs);
            EXPECT_EQ(f.capacity + (grown ? 8 : 0), f.table.Capacity());
            TRecords now = Records(f.table), expected = f.records;
            if (completed && c.op != TOp::Copy)
                c.op == TOp::Append ? expected.push_back(added)
                                    : (void)expected.erase(expected.begin() + 1);
            // A failed removal keeps the count, and the records before the removed one untouched.
            if (!completed && c.op == TOp::Remove && now.size() == expected.size())
                now.resize(1), expected.resize(1);
            EXPECT_EQ(expected, now);
            EXPECT_EQ(c.op == TOp::Copy && completed, f.copy.has_value());
            EXPECT_TRUE(!f.copy || (f.copy->Dirs() != f.pDirs && f.copy->Capacity() == f.capacity &&
                                    Records(*f.copy) == f.records));
            // Usable afterwards: a record lands after those in use, is found there and goes again.
            Append(f.table, 50);
            EXPECT_EQ(f.table.Count() - 1, f.table.Find(extraKey));
            EXPECT_TRUE(f.table.Remove(extraKey));
        };
        EXPECT_GT(sweep::Sweep(make, operate, check), 2);
    }
}

} // namespace
