// Long random sequences of operations on a table, checked after every step
// against a plain model of what the table must hold.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vdirs/VirtualDirs.h"

namespace {

using KAF::BString;
using TRecord = std::array<std::string, 3>;

struct TModel {
    std::vector<TRecord> records;
    int32_t capacity = 8;

    int32_t Find(const std::string& key) const
    {
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i][0] == key)
                return static_cast<int32_t>(i);
        return -1;
    }
};

std::string Describe(const VirtualDir& dir)
{
    return std::string(dir.key.c_str()) + "/" + dir.value1.c_str() + "/" + dir.value2.c_str();
}

testing::AssertionResult Matches(const VirtualDirs& table, const TModel& model)
{
    if (table.Count() != static_cast<int32_t>(model.records.size()) ||
        table.Capacity() != model.capacity || (table.Dirs() == nullptr) != (model.capacity == 0))
        return testing::AssertionFailure()
               << "count " << table.Count() << ", capacity " << table.Capacity() << "; expected "
               << model.records.size() << ", " << model.capacity;
    for (int32_t i = 0; i < table.Count(); ++i) {
        const TRecord& r = model.records[i];
        if (Describe(table.At(i)) != r[0] + "/" + r[1] + "/" + r[2])
            return testing::AssertionFailure() << "record " << i << " is " << Describe(table.At(i));
    }
    return testing::AssertionSuccess();
}

TEST(VirtualDirsModel, RandomSequencesMatchAPlainModel)
{
    constexpr unsigned kSeed = 20240611;
    std::mt19937 random(kSeed);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    // Keys and values share a few texts, the empty one included, so that
    // duplicates are common and a search that looked at values would show.
    auto text = [&] { return pick(7) == 0 ? std::string() : "t" + std::to_string(pick(6)); };

    auto pTable = std::make_unique<VirtualDirs>();
    TModel model;
    for (int step = 0; step < 20000; ++step) {
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << ", step " << step);
        const unsigned op = pick(100);
        const std::string key = text();
        if (op < 50) {
            const TRecord record{key, text(), text()};
            ASSERT_TRUE(pTable->PushBack(BString(record[0].c_str()), BString(record[1].c_str()),
                                         BString(record[2].c_str())));
            if (model.capacity == 0)
                model.capacity = 8;
            if (static_cast<int32_t>(model.records.size()) == model.capacity)
                model.capacity += 8;
            model.records.push_back(record);
        } else if (op < 75) {
            const int32_t index = model.Find(key);
            ASSERT_EQ(index != -1, pTable->Remove(BString(key.c_str())));
            if (index != -1)
                model.records.erase(model.records.begin() + index);
        } else if (op < 90) {
            ASSERT_EQ(model.Find(key), pTable->Find(BString(key.c_str())));
        } else if (op < 98) {
            // Either side survives the other's destruction.
            auto pCopy = std::make_unique<VirtualDirs>(*pTable);
            ASSERT_TRUE(Matches(*pCopy, model));
            if (pick(2) == 0)
                pTable = std::move(pCopy);
        } else if (op < 99) {
            pTable->Clear();
            model = TModel{{}, 0};
        } else {
            pTable = std::make_unique<VirtualDirs>();
            model = TModel();
        }
        ASSERT_TRUE(Matches(*pTable, model));
    }
}

} // namespace
