// Where records go on removal and what a copy shares; the random model test
// covers the rest.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vdirs/VirtualDirs.h"

namespace {

using KAF::BString;

// Appends one record per key, with value1 "v<i>" telling the records apart.
void Append(VirtualDirs& table, const std::vector<std::string>& keys)
{
    for (const std::string& key : keys) {
        const std::string value = "v" + std::to_string(table.Count());
        table.PushBack(BString(key.c_str()), BString(value.c_str()), BString("w"));
    }
}

// Each record in use as key=value1.
std::vector<std::string> Records(const VirtualDirs& table)
{
    std::vector<std::string> records;
    for (int32_t i = 0; i < table.Count(); ++i)
        records.push_back(std::string(table.At(i).key.c_str()) + "=" + table.At(i).value1.c_str());
    return records;
}

TEST(VirtualDirs, RemovalClosesTheGapInOrderAndLeavesASpareSlot)
{
    struct TCase {
        std::vector<std::string> keys;
        const char* removed;
        std::vector<std::string> left;
    };
    const TCase cases[] = {
        {{"a", "b", "c", "d"}, "a", {"b=v1", "c=v2", "d=v3"}},
        {{"a", "b", "c", "d"}, "c", {"a=v0", "b=v1", "d=v3"}},
        {{"a", "b", "c", "d"}, "d", {"a=v0", "b=v1", "c=v2"}},
        {{"a"}, "a", {}},
        {{"x", "a", "x"}, "x", {"a=v1", "x=v2"}}, // the lower index goes first
        {{"x", "a"}, "v0", {"x=v0", "a=v1"}},     // values are not keys
        {{"a", "b"}, "", {"a=v0", "b=v1"}},       // nor is the empty string
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.removed);
        VirtualDirs table;
        Append(table, c.keys);
        const VirtualDir* pDirs = table.Dirs();
        EXPECT_EQ(c.left.size() < c.keys.size(), table.Remove(BString(c.removed)));
        EXPECT_EQ(c.left, Records(table));
        EXPECT_EQ(pDirs, table.Dirs());
        EXPECT_EQ(8, table.Capacity());
        // The vacated slot keeps no storage.
        const VirtualDir& spare = pDirs[table.Count()];
        EXPECT_EQ(nullptr, spare.key.m_pData);
        EXPECT_EQ(nullptr, spare.value1.m_pData);
        EXPECT_EQ(nullptr, spare.value2.m_pData);
    }
}

TEST(VirtualDirs, EmptyingATableGrownTo16KeepsCapacity16)
{
    VirtualDirs table;
    Append(table, {"a", "b", "c", "d", "e", "f", "g", "h", "i"});
    ASSERT_EQ(16, table.Capacity());
    for (const char* key : {"e", "a", "i", "b", "c", "d", "f", "h", "g"})
        EXPECT_TRUE(table.Remove(BString(key))) << key;
    EXPECT_EQ(0, table.Count());
    EXPECT_EQ(16, table.Capacity());
    EXPECT_EQ(-1, table.Find(BString("a")));
}

TEST(VirtualDirs, CopiesAreDeepAndIndependent)
{
    VirtualDirs cleared;
    cleared.Clear();
    const VirtualDirs ofCleared(cleared);
    EXPECT_EQ(nullptr, ofCleared.Dirs());
    EXPECT_EQ(0, ofCleared.Capacity());

    VirtualDirs fresh;
    const VirtualDirs ofFresh(fresh);
    EXPECT_EQ(8, ofFresh.Capacity());
    EXPECT_EQ(0, ofFresh.Count());
    EXPECT_NE(fresh.Dirs(), ofFresh.Dirs());

    auto pSource = std::make_unique<VirtualDirs>();
    Append(*pSource, {"a", "b", "c", "d", "e", "f", "g", "h", "i"});
    const std::vector<std::string> records = Records(*pSource);
    auto pCopy = std::make_unique<VirtualDirs>(*pSource);
    EXPECT_EQ(16, pCopy->Capacity());
    EXPECT_EQ(records, Records(*pCopy));
    EXPECT_NE(pSource->At(0).key.m_pData, pCopy->At(0).key.m_pData);

    pSource->Remove(BString("a"));
    Append(*pSource, {"j"});
    EXPECT_EQ(records, Records(*pCopy));
    pSource.reset();
    EXPECT_EQ(records, Records(*pCopy));

    const VirtualDirs second(*pCopy);
    pCopy->Clear();
    Append(*pCopy, {"z"});
    pCopy.reset();
    EXPECT_EQ(16, second.Capacity());
    EXPECT_EQ(records, Records(second));
}

} // namespace
