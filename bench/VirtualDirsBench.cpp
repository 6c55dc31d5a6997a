// VirtualDirs against a std::vector of three std::strings doing the same
// appends, finds and removals, at 8, 64, 1024 and 8192 records.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "hostapi/BString.h"
#include "vdirs/VirtualDirs.h"

namespace {

// The floor's record.
struct TRecord {
    TRecord(const std::string& k, const std::string& v1, const std::string& v2)
        : key(k), value1(v1), value2(v2)
    {
    }
    std::string key;
    std::string value1;
    std::string value2;
};

// n records: a short key (within std::string's inline buffer), a longer
// first value and a short second value, the same texts for both sides.
struct TTexts {
    explicit TTexts(int n)
    {
        char text[64];
        for (int i = 0; i < n; ++i) {
            std::snprintf(text, sizeof text, "/vdir/%05d", i);
            keys.emplace_back(text);
            std::snprintf(text, sizeof text, "/var/lib/murox/www/area%05d", i);
            values1.emplace_back(text);
            values2.emplace_back("index.html");
        }
        for (int i = 0; i < n; ++i) {
            bKeys.emplace_back(keys[i].c_str());
            bValues1.emplace_back(values1[i].c_str());
            bValues2.emplace_back(values2[i].c_str());
        }
    }
    std::vector<std::string> keys, values1, values2;
    std::vector<KAF::BString> bKeys, bValues1, bValues2;
};

void Fill(VirtualDirs& table, const TTexts& texts)
{
    for (size_t i = 0; i < texts.bKeys.size(); ++i)
        table.PushBack(texts.bKeys[i], texts.bValues1[i], texts.bValues2[i]);
}

void Fill(std::vector<TRecord>& table, const TTexts& texts)
{
    for (size_t i = 0; i < texts.keys.size(); ++i)
        table.emplace_back(texts.keys[i], texts.values1[i], texts.values2[i]);
}

int FindIn(const std::vector<TRecord>& table, const std::string& key)
{
    const auto it = std::find_if(table.begin(), table.end(),
                                 [&](const TRecord& record) { return record.key == key; });
    return it == table.end() ? -1 : static_cast<int>(it - table.begin());
}

// Appending n records to a new table, its destruction included.
void BM_VirtualDirsAppend(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        VirtualDirs table;
        Fill(table, texts);
        benchmark::DoNotOptimize(table.Dirs());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_VectorAppend(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<TRecord> table;
        Fill(table, texts);
        benchmark::DoNotOptimize(table.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Finding the last record: a scan of every key.
void BM_VirtualDirsFind(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    VirtualDirs table;
    Fill(table, texts);
    const KAF::BString& key = texts.bKeys.back();
    for (auto _ : state)
        benchmark::DoNotOptimize(table.Find(key));
}

void BM_VectorFind(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    std::vector<TRecord> table;
    Fill(table, texts);
    const std::string& key = texts.keys.back();
    for (auto _ : state)
        benchmark::DoNotOptimize(FindIn(table, key));
}

// Removing the first record, which moves every other one a slot down,
// then appending it again so that each iteration starts alike.
void BM_VirtualDirsRemove(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    VirtualDirs table;
    Fill(table, texts);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.Remove(texts.bKeys[next]));
        table.PushBack(texts.bKeys[next], texts.bValues1[next], texts.bValues2[next]);
        next = (next + 1) % texts.bKeys.size();
    }
}

void BM_VectorRemove(benchmark::State& state)
{
    const TTexts texts(static_cast<int>(state.range(0)));
    std::vector<TRecord> table;
    Fill(table, texts);
    size_t next = 0;
    for (auto _ : state) {
        const int index = FindIn(table, texts.keys[next]);
        table.erase(table.begin() + index);
        table.emplace_back(texts.keys[next], texts.values1[next], texts.values2[next]);
        next = (next + 1) % texts.keys.size();
    }
}

void Sizes(benchmark::internal::Benchmark* pBenchmark)
{
    pBenchmark->ArgName("records");
    for (int n : {8, 64, 1024, 8192})
        pBenchmark->Arg(n);
}

BENCHMARK(BM_VectorAppend)->Apply(Sizes);
BENCHMARK(BM_VirtualDirsAppend)->Apply(Sizes);
BENCHMARK(BM_VectorFind)->Apply(Sizes);
BENCHMARK(BM_VirtualDirsFind)->Apply(Sizes);
BENCHMARK(BM_VectorRemove)->Apply(Sizes);
BENCHMARK(BM_VirtualDirsRemove)->Apply(Sizes);

} // namespace
