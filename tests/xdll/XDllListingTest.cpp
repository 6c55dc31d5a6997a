// The listing an "xdll" line without switches writes: ten pieces a record,
// the record's own strings handed over, the count asked before each record.
#include <string>
#include <vector>

#include "tests/xdll/XDllHarness.h"

namespace {

using Strings = std::vector<std::string>;

struct TListed {
    ExtAgent record;
    const char* load;
    const char* status;
};

TEST_F(TXDllTest, ListsEveryRecordWithItsLoadFlagAndStatus)
{
    const TListed listed[] = {
        {{"foo", "/lib/foo.so", "foo/web", 1, 1, 0}, "1", "FAILED TO LOAD"},
        {{"b", "/b", "w", 0, 2, 0}, "0", "FAILED TO INITIALIZE/REGISTER"},
        {{"c", "/c", "", 7, 3, 0}, "1", "NOT LOADED"},
        {{"d", "/d", "w", 0, 0, 0}, "0", "unknown"},
        {{"e", "/e", "w", 0, 4, 0}, "0", "unknown"},
        {{"f", "/f", "w", 1, -1, 0}, "1", "unknown"},
        {{"g", "/g", "w", 0, 1, 1}, "0", "LOADED"},
        {{"h", "/h", "w", 1, 2, -5}, "1", "LOADED"},
        {{"i", "/i", "w", -1, 3, 1}, "1", "LOADED"},
        {{"j", "/j", "w", 0, 0, 1}, "0", "LOADED"},
    };
    auto& records = fake_registry::State().records;
    // Empty, one and many records; plain arguments filter nothing.
    for (const std::size_t count : {0u, 1u, 10u}) {
        SCOPED_TRACE(count);
        Strings pieces;
        Strings calls;
        records.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const TListed& l = listed[i];
            records.push_back(l.record);
            pieces.insert(pieces.end(),
                          {l.record.name.c_str(), "\n   Path:   ", l.record.path.c_str(),
                           "\n   Web:    ", l.record.web.c_str(), "\n   Load:   ", l.load,
                           "\n   Status: ", l.status, "\n"});
            calls.insert(calls.end(), {"NumExtAgents", "ExtAgentAt(" + std::to_string(i) + ")"});
        }
        calls.push_back("NumExtAgents");
        for (const auto& words : {std::vector<const char*>{}, {"c", "x"}}) {
            TRecordingStream out;
            Run(out, words);
            EXPECT_EQ(pieces, out.m_pieces);
            EXPECT_EQ(calls, Calls());
            for (std::size_t i = 0; i < count && out.m_sources.size() == 10 * count; ++i) {
                EXPECT_EQ(&records[i].name, out.m_sources[10 * i]);
                EXPECT_EQ(&records[i].path, out.m_sources[10 * i + 2]);
                EXPECT_EQ(&records[i].web, out.m_sources[10 * i + 4]);
            }
        }
    }
}

} // namespace
