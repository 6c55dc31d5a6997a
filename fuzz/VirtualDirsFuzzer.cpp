// Runs its input as a sequence of VirtualDirs operations against a model
// (a vector of records and the capacity the growth rules give) and checks
// after every operation that the table and the model agree: count,
// capacity, every record's three texts, spare slots without text, every
// answer of Find and Remove, and copies that match their source and stay
// apart from it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hostapi/BString.h"
#include "tests/support/Text.h"
#include "vdirs/VirtualDirs.h"

namespace {

using TRecord = std::array<std::string, 3>;

struct TModel {
    int32_t capacity = 8;
    std::vector<TRecord> records;

    int Find(const std::string& key) const
    {
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i][0] == key)
                return static_cast<int>(i);
        return -1;
    }
};

[[noreturn]] void Broken(const char* szWhat, size_t step)
{
    std::fprintf(stderr, "VirtualDirs differs from the model at step %zu: %s\n", step, szWhat);
    std::abort();
}

void Compare(const VirtualDirs& table, const TModel& model, size_t step)
{
    if (table.Capacity() != model.capacity)
        Broken("capacity", step);
    if (table.Count() != static_cast<int32_t>(model.records.size()))
        Broken("count", step);
    if ((table.Dirs() == nullptr) != (model.capacity == 0))
        Broken("array present or not", step);
    for (int32_t i = 0; i < table.Count(); ++i) {
        const VirtualDir& dir = table.At(i);
        const TRecord& record = model.records[static_cast<size_t>(i)];
        if (Text(dir.key) != record[0] || Text(dir.value1) != record[1] ||
            Text(dir.value2) != record[2])
            Broken("record texts", step);
    }
    // Without allocation failures every spare slot holds three strings
    // without storage: fresh, or released by Remove.
    for (int32_t i = table.Count(); i < table.Capacity(); ++i) {
        const VirtualDir& dir = table.Dirs()[i];
        if (dir.key.m_pData != nullptr || dir.value1.m_pData != nullptr ||
            dir.value2.m_pData != nullptr)
            Broken("a spare slot holds text", step);
    }
}

// Reads the input a byte at a time; zeros once it is used up.
class TReader {
public:
    TReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_pos < m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    // Texts from a small set, so that keys repeat, or short raw runs of
    // the input (zero bytes included).
    std::string TextOf()
    {
        static const char* const kTexts[] = {"", "a", "b", "/cgi", "/cgi-bin", "/www/root"};
        const uint8_t choice = Byte();
        if (choice < 192)
            return kTexts[choice % 6];
        std::string text;
        for (int n = choice % 12; n > 0 && More(); --n)
            text.push_back(static_cast<char>(Byte()));
        return text;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The text as a framework string, in one of three forms of the empty text:
// no buffer, or an emptied buffer; any other text has its buffer.
KAF::BString ToBString(const std::string& text, bool emptiedBuffer)
{
    KAF::BString s;
    if (!text.empty())
        s.Assign(text.data(), static_cast<unsigned>(text.size()));
    else if (emptiedBuffer) {
        s.Assign("x", 1);
        s.Assign("", 0);
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TReader in(data, size);
    auto pTable = std::make_unique<VirtualDirs>();
    TModel model;
    for (size_t step = 0; in.More(); ++step) {
        const uint8_t op = in.Byte();
        switch (op % 6) {
        case 0:
        case 1: { // appends are the most frequent operation
            const TRecord record{in.TextOf(), in.TextOf(), in.TextOf()};
            const bool emptied = (op & 0x80) != 0;
            const bool appended =
                pTable->PushBack(ToBString(record[0], emptied), ToBString(record[1], emptied),
                                 ToBString(record[2], emptied));
            if (!appended)
                Broken("PushBack returned false", step);
            if (model.capacity == 0)
                model.capacity = 8;
            else if (static_cast<int32_t>(model.records.size()) == model.capacity)
                model.capacity += 8;
            model.records.push_back(record);
            break;
        }
        case 2: {
            const std::string key = in.TextOf();
            if (pTable->Find(ToBString(key, (op & 0x80) != 0)) != model.Find(key))
                Broken("Find", step);
            break;
        }
        case 3: {
            const std::string key = in.TextOf();
            const int index = model.Find(key);
            if (pTable->Remove(ToBString(key, (op & 0x80) != 0)) != (index >= 0))
                Broken("Remove's answer", step);
            if (index >= 0)
                model.records.erase(model.records.begin() + index);
            break;
        }
        case 4:
            pTable->Clear();
            model.capacity = 0;
            model.records.clear();
            break;
        case 5: {
            // A copy must match its source; then one of the two goes on,
            // and the other is changed and dropped, which must not touch it.
            auto pCopy = std::make_unique<VirtualDirs>(*pTable);
            Compare(*pCopy, model, step);
            if ((op & 0x80) != 0)
                pTable.swap(pCopy);
            pCopy->PushBack(ToBString("/dropped", false), ToBString("x", false),
                            ToBString("y", false));
            pCopy->Remove(ToBString(model.records.empty() ? "" : model.records[0][0], false));
            pCopy.reset();
            break;
        }
        }
        Compare(*pTable, model, step);
    }
    return 0;
}
