// What an "xdll" line writes and asks of the registry: the gate, the split
// into switches and operands, the six actions and the reading of the store.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/xdll/XDllHarness.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kLoadName = "Please specify name of the ext DLL to load\n";
const char* const kUnloadName = "Please specify name of the ext DLL to unload\n";
const char* const kRemoveName = "Please specify name of the ext DLL to remove\n";
const char* const kAddArgs = "Please specify at least <name> and <path>\n";
const char* const kNoSuch = "No such ext DLL\n";
const char* const kUnknown = "Unknown option\n";

struct TLine {
    std::vector<const char*> words;
    Strings pieces;
    Strings calls;
    std::vector<int> existAnswers = {}; // when empty, only "foo" is known
};

const TLine s_lines[] = {
    // Load, with operands anywhere, extra ones ignored, glued values ignored.
    {{"-l", "foo"}, {}, {"Exist(foo)", "Load(foo)"}},
    {{"foo", "-l"}, {}, {"Exist(foo)", "Load(foo)"}},
    {{"-l", "foo", "bar"}, {}, {"Exist(foo)", "Load(foo)"}},
    {{"-lbar", "foo"}, {}, {"Exist(foo)", "Load(foo)"}},
    {{"-lfoo"}, {kLoadName}, {}},
    {{"-l"}, {kLoadName}, {}},
    {{"-l", "bar"}, {kNoSuch}, {"Exist(bar)"}},
    {{"-", "-l"}, {kNoSuch}, {"Exist(-)"}},
    // Unload and reload; each half of the reload asks on its own.
    {{"-u", "foo"}, {}, {"Exist(foo)", "Unload(foo)"}},
    {{"-u"}, {kUnloadName}, {}},
    {{"-u", "bar"}, {kNoSuch}, {"Exist(bar)"}},
    {{"-f", "foo"}, {}, {"Exist(foo)", "Unload(foo)", "Exist(foo)", "Load(foo)"}},
    {{"-f"}, {kUnloadName}, {}},
    {{"-f", "bar"}, {kNoSuch, kNoSuch}, {"Exist(bar)", "Exist(bar)"}},
    {{"-f", "bar"}, {kNoSuch}, {"Exist(bar)", "Exist(bar)", "Load(bar)"}, {0, 1}},
    {{"-f", "foo"}, {kNoSuch}, {"Exist(foo)", "Unload(foo)", "Exist(foo)"}, {1, 0}},
    // Delete, add and re-read, all handing over the handler's store.
    {{"-d", "foo"}, {}, {"Exist(foo)", "Delete(store,foo)"}},
    {{"-d"}, {kRemoveName}, {}},
    {{"-d", "bar"}, {kNoSuch}, {"Exist(bar)"}},
    {{"-a"}, {kAddArgs}, {}},
    {{"-a", "foo"}, {kAddArgs}, {}},
    {{"-a", "foo", "p"}, {}, {"Add(store,foo,p,)"}},
    {{"-a", "foo", "p", "w"}, {}, {"Add(store,foo,p,w)"}},
    {{"-a", "foo", "p", "w", "x"}, {}, {"Add(store,foo,p,w)"}},
    {{"p", "-a", "foo", "w"}, {}, {"Add(store,p,foo,w)"}},
    {{"-r"}, {}, {"Load(store)"}},
    {{"-r", "foo"}, {}, {"Load(store)"}},
    // Letters are case-sensitive bytes; high bytes are unknown on every target.
    {{"-x"}, {kUnknown}, {}},
    {{"-L", "foo"}, {kUnknown}, {}},
    {{"-A", "-U", "-0"}, {kUnknown, kUnknown, kUnknown}, {}},
    {{"-\x80", "-\xff", "-\xec", "foo"}, {kUnknown, kUnknown, kUnknown}, {}},
    // Several switches act in order on the same operands.
    {{"-x", "-l"}, {kUnknown, kLoadName}, {}},
    {{"-l", "-u", "foo"}, {}, {"Exist(foo)", "Load(foo)", "Exist(foo)", "Unload(foo)"}},
    {{"-u", "foo", "-l"}, {}, {"Exist(foo)", "Unload(foo)", "Exist(foo)", "Load(foo)"}},
    {{"-l", "-l", "foo"}, {}, {"Exist(foo)", "Load(foo)", "Exist(foo)", "Load(foo)"}},
    {{"-u", "-a", "-d"}, {kUnloadName, kAddArgs, kRemoveName}, {}},
    // Rejected switches are skipped without a word, and never list.
    {{"--x"}, {}, {}},
    {{"--", "--load", "foo"}, {}, {}},
    {{"--x", "-l", "foo"}, {}, {"Exist(foo)", "Load(foo)"}},
};

TEST_F(TXDllTest, EachLineWritesItsPiecesAndMakesItsCallsInOrder)
{
    for (const TLine& line : s_lines) {
        std::string name;
        for (const char* word : line.words)
            name += std::string(word) + " ";
        SCOPED_TRACE("xdll " + name);
        fake_registry::State().known = {"foo"};
        fake_registry::State().existAnswers.assign(line.existAnswers.begin(),
                                                   line.existAnswers.end());
        TRecordingStream out;
        Run(out, line.words);
        EXPECT_EQ(line.pieces, out.m_pieces);
        EXPECT_EQ(line.calls, Calls());
    }
}

// A table whose row for `cmdName` has id `cmdId`.
class TRemappedHandler : public XDllCmdHndlr {
public:
    TRemappedHandler(KAF::BFileNV& nv, DLLExtAgents& agents, const char* cmdName, int cmdId)
        : XDllCmdHndlr(nv, agents), m_rows{{cmdId, cmdName, "", ""},
                                           {-1, nullptr, nullptr, nullptr}}
    {
    }
    const CliEntry* CmdGetMap() const override { return m_rows; }

private:
    CliEntry m_rows[2];
};

TEST_F(TXDllTest, ActsOnlyForTheCommandWithIdOne)
{
    fake_registry::State().known = {"foo"};
    TRemappedHandler otherWord(m_store, m_agents, "other", 1);
    TRemappedHandler otherId(m_store, m_agents, "xdll", 2);
    struct {
        const char* cmdName;
        XDllCmdHndlr* pHandler;
        Strings calls;
    } const cases[] = {
        {"ls", nullptr, {}},
        {"xdl", nullptr, {}},
        {"xdll", &otherId, {}},
        {"other", &otherWord, {"Exist(foo)", "Load(foo)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmdName);
        TRecordingStream out;
        Run(out, {"-l", "foo", "-x"}, c.cmdName, c.pHandler);
        EXPECT_EQ(c.calls.empty() ? Strings() : Strings{kUnknown}, out.m_pieces);
        EXPECT_EQ(c.calls, Calls());
    }
}

TEST_F(TXDllTest, RereadReadsTheFileNamedAtConstructionThenFollowsTheStore)
{
    // The store is renamed after construction; the read still fails on the
    // original, missing file, and the registry follows the store anyway.
    m_store.m_fileName = KAF::BString("/nonexistent/renamed.conf");
    TRecordingStream out;
    Run(out, {"-r"});
    EXPECT_TRUE(out.m_pieces.empty());
    EXPECT_EQ(Strings{"Load(store)"}, Calls());
    EXPECT_NE(nullptr, std::strstr(m_store.LastError(), "'/nonexistent/xdll.conf'"));

    // A store without a name is asked to read the empty name.
    KAF::BFileNV unnamed;
    XDllCmdHndlr unnamedHandler(unnamed, m_agents);
    fake_registry::State().pStore = &unnamed;
    Run(out, {"-r"}, "xdll", &unnamedHandler);
    EXPECT_EQ(Strings{"Load(store)"}, Calls());
    EXPECT_NE(nullptr, std::strstr(unnamed.LastError(), "''"));

    // A readable file is read again, whatever the store was renamed to.
    const std::string path = ::testing::TempDir() + "xdll-reread.conf";
    std::FILE* pFile = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    std::fputs("[ext foo]\npath = /lib/foo.so\n", pFile);
    std::fclose(pFile);
    KAF::BFileNV named(path.c_str());
    XDllCmdHndlr namedHandler(named, m_agents);
    fake_registry::State().pStore = &named;
    named.m_fileName = KAF::BString("elsewhere.conf");
    Run(out, {"-r", "-r"}, "xdll", &namedHandler);
    std::remove(path.c_str());
    EXPECT_EQ(1, named.SectionCount());
    EXPECT_STREQ(path.c_str(), named.m_fileName.c_str());
    EXPECT_EQ((Strings{"Load(store)", "Load(store)"}), Calls());
    EXPECT_TRUE(out.m_pieces.empty());
}

} // namespace
