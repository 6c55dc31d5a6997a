// The listing an "xdll" line without switches writes.
#include <string>
#include <vector>

#include "tests/xdll/XDllHarness.h"

namespace {

using fake_registry::Record;
using Strings = std::vector<std::string>;

TEST_F(TXDllTest, ListsNothingForAnEmptyRegistry)
{
    TRecordingStream out;
    Run(out, {});
    EXPECT_TRUE(out.m_pieces.empty());
    EXPECT_EQ(Strings{"NumExtAgents"}, Calls());
}

TEST_F(TXDllTest, ListsARecordInTenPiecesHandingItsStringsOver)
{
    fake_registry::State().records = {Record("foo", "/lib/foo.so", "foo/web", 1, 3, 0)};
    TRecordingStream out;
    Run(out, {});
    const Strings pieces = {"foo",         "\n   Path:   ",
                            "/lib/foo.so", "\n   Web:    ",
                            "foo/web",     "\n   Load:   ",
                            "1",           "\n   Status: ",
                            "NOT LOADED",  "\n"};
    EXPECT_EQ(pieces, out.m_pieces);
    const ExtAgent& record = fake_registry::State().records[0];
    ASSERT_EQ(10u, out.m_sources.size());
    EXPECT_EQ(&record.name, out.m_sources[0]);
    EXPECT_EQ(&record.path, out.m_sources[2]);
    EXPECT_EQ(&record.web, out.m_sources[4]);
    EXPECT_EQ((Strings{"NumExtAgents", "ExtAgentAt(0)", "NumExtAgents"}), Calls());
}

TEST_F(TXDllTest, ListsEveryRecordWithItsLoadFlagAndStatus)
{
    struct {
        ExtAgent record;
        const char* load;
        const char* status;
    } const cases[] = {
        {Record("a", "/a", "w", 1, 1, 0), "1", "FAILED TO LOAD"},
        {Record("b", "/b", "w", 0, 2, 0), "0", "FAILED TO INITIALIZE/REGISTER"},
        {Record("c", "/c", "", 7, 3, 0), "1", "NOT LOADED"},
        {Record("d", "/d", "w", 0, 0, 0), "0", "unknown"},
        {Record("e", "/e", "w", 0, 4, 0), "0", "unknown"},
        {Record("f", "/f", "w", 1, -1, 0), "1", "unknown"},
        {Record("g", "/g", "w", 0, 1, 1), "0", "LOADED"},
        {Record("h", "/h", "w", 1, 2, -5), "1", "LOADED"},
        {Record("i", "/i", "w", -1, 3, 1), "1", "LOADED"},
        {Record("j", "/j", "w", 0, 0, 1), "0", "LOADED"},
    };
    std::string expected;
    Strings calls;
    for (const auto& c : cases) {
        fake_registry::State().records.push_back(c.record);
        expected += c.record.name.c_str() + std::string("\n   Path:   ") + c.record.path.c_str() +
                    "\n   Web:    " + c.record.web.c_str() + "\n   Load:   " + c.load +
                    "\n   Status: " + c.status + "\n";
        calls.push_back("NumExtAgents");
        calls.push_back("ExtAgentAt(" + std::to_string(calls.size() / 2) + ")");
    }
    calls.push_back("NumExtAgents");

    // Plain arguments filter nothing; record c's empty web part leaves the
    // label's blanks at the end of its line.
    for (const std::vector<const char*>& words : {std::vector<const char*>{}, {"c", "x"}}) {
        TRecordingStream out;
        Run(out, words);
        EXPECT_EQ(10 * (sizeof cases / sizeof cases[0]), out.m_pieces.size());
        EXPECT_EQ(expected, out.Joined());
        EXPECT_EQ(calls, Calls());
    }
}

} // namespace
