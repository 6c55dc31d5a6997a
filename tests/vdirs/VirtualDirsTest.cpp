// Where records go on removal; allocation failures are swept in tests/sweep.
#include <gtest/gtest.h>

#include "vdirs/VirtualDirs.h"

namespace {

using KAF::BString;

// Each record in use as "key|value1|value2".
std::vector<std::string> Records(const VirtualDirs& table)
{
    std::vector<std::string> records;
    for (int32_t i = 0; i < table.Count(); ++i) {
        const VirtualDir& d = table.At(i);
        records.push_back(std::string(d.key.c_str()) + '|' + d.value1.c_str() + '|' +
                          d.value2.c_str());
    }
    return records;
}

// Appends one record per key, value1 "v<i>" telling them apart.
void Append(VirtualDirs& table, const std::vector<std::string>& keys)
{
    for (const std::string& key : keys)
        table.PushBack(BString(key.c_str()), BString(("v" + std::to_string(table.Count())).c_str()),
                       BString("w"));
}

// Order, spare slots and copies are checked against a model by the fuzz corpus; here what it
// does not reach: a key that is no record's, and a table emptied record by record.
TEST(VirtualDirs, RemovalClosesTheGapInOrderAndLeavesASpareSlot)
{
    const struct {
        std::vector<std::string> keys;
        const char* removed;
        std::vector<std::string> left;
    } cases[] = {
        {{"x", "a", "x"}, "x", {"a|v1|w", "x|v2|w"}}, // the lower index goes first
        {{"x", "a"}, "v0", {"x|v0|w", "a|v1|w"}},     // values are not keys
        {{"a", "b"}, "", {"a|v0|w", "b|v1|w"}},       // nor is the empty string
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        VirtualDirs table;
        Append(table, c.keys);
        const VirtualDir* pDirs = table.Dirs();
        EXPECT_EQ(c.left.size() < c.keys.size(), table.Remove(BString(c.removed)));
        EXPECT_EQ(c.left, Records(table));
        EXPECT_TRUE(pDirs == table.Dirs() && table.Capacity() == 8);
        const VirtualDir& spare = pDirs[table.Count()]; // keeps no storage
        EXPECT_TRUE(!spare.key.m_pData && !spare.value1.m_pData && !spare.value2.m_pData);
    }
    // Emptied in any order, a table grown to 16 keeps its capacity.
    VirtualDirs table;
    Append(table, {"a", "b", "c", "d", "e", "f", "g", "h", "i"});
    for (const char* key : {"e", "a", "i", "b", "c", "d", "f", "h", "g"})
        EXPECT_TRUE(table.Remove(BString(key))) << key;
    EXPECT_TRUE(table.Count() == 0 && table.Capacity() == 16 && table.Find(BString("a")) == -1);
    // Cleared twice, then destroyed: nothing is released twice.
    table.Clear();
    table.Clear();
    EXPECT_TRUE(table.Count() == 0 && table.Capacity() == 0 && table.Dirs() == nullptr);
}

} // namespace
