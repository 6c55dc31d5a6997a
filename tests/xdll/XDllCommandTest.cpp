// What an "xdll" line writes and asks of the registry, and where it stops when either throws.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "hostapi/BFileNV.h"
#include "tests/support/AllocationControl.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/RecordingStream.h"
#include "tests/support/Scratch.h"
#include "xdll/XDllCmdHndlr.h"

namespace {

using alloc_control::LiveBlocks;

class TXDllTest : public ::testing::Test {
protected:
    TXDllTest() : m_store("/nonexistent/xdll.conf"), m_handler(m_store, m_agents)
    {
        fake_registry::Reset(&m_store);
    }

    // Runs one line on `handler` into `out`; the registry's log starts empty, the script is kept.
    void Run(TRecordingStream& out, std::vector<const char*> words, const char* cmdName = "xdll",
             XDllCmdHndlr* pHandler = nullptr)
    {
        KAF::BStringArray args;
        for (const char* word : words)
            args.PushBack(KAF::BString(word));
        Calls().clear();
        (pHandler != nullptr ? *pHandler : m_handler)
            .CmdExecute(out, KAF::BString(cmdName), args, KAF::BSecurityParams(), KAF::BString());
    }

    std::vector<std::string>& Calls() { return fake_registry::State().calls; }

    KAF::BFileNV m_store;
    DLLExtAgents m_agents;
    XDllCmdHndlr m_handler;
};

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
    std::deque<int> existAnswers = {}; // when empty, only "foo" is known
    const char* cmdName = "xdll";
    int remapTo = 0; // when set, the handler's table maps cmdName to this id
};

const TLine s_lines[] = {
    // Only the word that the handler's own table maps to id 1 acts.
    {{"-l", "foo", "-x"}, {}, {}, {}, "xdl"},
    {{"-l", "foo", "-x"}, {}, {}, {}, "xdll", 2},
    {{"-l", "foo", "-x"}, {kUnknown}, {"Exist(foo)", "Load(foo)"}, {}, "other", 1},
    // Every action on the same operands (no store file: followed anyway), then bare or unknown.
    {{"-x", "-l", "foo", "-f", "-a", "p", "-d", "-r", "-u"},
     {kUnknown},
     {"Exist(foo)", "Load(foo)", "Exist(foo)", "Unload(foo)", "Exist(foo)", "Load(foo)",
      "Add(store,foo,p,)", "Exist(foo)", "Delete(store,foo)", "Load(store)", "Exist(foo)",
      "Unload(foo)"}},
    {{"-x", "-l", "-f", "-u", "-a", "-d"},
     {kUnknown, kLoadName, kUnloadName, kUnloadName, kAddArgs, kRemoveName},
     {}},
    {{"-l", "bar", "-u", "-d"},
     {kNoSuch, kNoSuch, kNoSuch},
     {"Exist(bar)", "Exist(bar)", "Exist(bar)"}},
    // Each half of the reload asks on its own.
    {{"-f", "bar"}, {kNoSuch, kNoSuch}, {"Exist(bar)", "Exist(bar)"}},
    {{"-f", "bar"}, {kNoSuch}, {"Exist(bar)", "Exist(bar)", "Load(bar)"}, {0, 1}},
    {{"-f", "foo"}, {kNoSuch}, {"Exist(foo)", "Unload(foo)", "Exist(foo)"}, {1, 0}},
    // Operands come from the plain arguments only, wherever they stand.
    {{"-lfoo"}, {kLoadName}, {}},
    {{"-l", "-"}, {kNoSuch}, {"Exist(-)"}}, // a lone dash is a word
    {{"p", "-a", "foo", "w"}, {}, {"Add(store,p,foo,w)"}},
    // Letters are case-sensitive bytes; high bytes are unknown on every target.
    {{"-L", "-A", "-U", "-0", "foo"}, {kUnknown, kUnknown, kUnknown, kUnknown}, {}},
    {{"-\x80", "-\xff", "-\xec", "foo"}, {kUnknown, kUnknown, kUnknown}, {}},
    // Rejected switches are skipped without a word, and never list.
    {{"--x", "--", "--load", "foo"}, {}, {}},
    {{"--x", "-l", "foo"}, {}, {"Exist(foo)", "Load(foo)"}},
};

// A table whose only row maps `cmdName` to `cmdId`.
struct TRemappedHandler : XDllCmdHndlr {
    TRemappedHandler(KAF::BFileNV& nv, DLLExtAgents& agents, const char* cmdName, int cmdId)
        : XDllCmdHndlr(nv, agents), m_rows{{cmdId, cmdName, "", ""},
                                           {-1, nullptr, nullptr, nullptr}}
    {
    }
    const CliEntry* CmdGetMap() const override { return m_rows; }
    CliEntry m_rows[2];
};

class TXDllLineTest : public TXDllTest {
protected:
    // Runs the line, then with each write and registry call failing in turn: the failure reaches
    // the caller, the trace ends at the failing one, and no block is left allocated.
    void Check(const TLine& line)
    {
        auto& state = fake_registry::State();
        TRemappedHandler remapped(m_store, m_agents, line.cmdName, line.remapTo);
        XDllCmdHndlr* pHandler = line.remapTo != 0 ? &remapped : nullptr;
        TRecordingStream clean;
        // Always a fresh queue of Exist's answers: popping them frees nothing.
        state.existAnswers = std::deque<int>(line.existAnswers);
        Run(clean, line.words, line.cmdName, pHandler);
        EXPECT_EQ(line.pieces, clean.m_pieces);
        EXPECT_EQ(line.calls, Calls());
        TRecordingStream traced(&Calls()); // the same line, pieces and calls in one trace
        state.existAnswers = std::deque<int>(line.existAnswers);
        Run(traced, line.words, line.cmdName, pHandler);
        const Strings trace = Calls();
        int counts[2] = {0, 0}; // registry calls, writes
        for (std::size_t k = 0; k < trace.size(); ++k) {
            const bool onWrite = trace[k].compare(0, 6, "Write(") == 0;
            const int n = ++counts[onWrite];
            state.existAnswers = std::deque<int>(line.existAnswers);
            Calls().clear(); // the fake's log is the test's: empty around the count
            const long live = LiveBlocks();
            bool faulted = false;
            {
                TRecordingStream out(&Calls(), onWrite ? n : 0);
                state.throwAtCall = onWrite ? 0 : n;
                state.callCount = 0;
                try {
                    Run(out, line.words, line.cmdName, pHandler);
                } catch (const TStreamFault& fault) {
                    faulted = onWrite && fault.write == n;
                } catch (const fake_registry::TFault& fault) {
                    faulted = !onWrite && fault.call == n;
                }
            }
            const bool stoppedThere = Calls() == Strings(trace.begin(), trace.begin() + k + 1);
            Calls().clear();
            const long leaked = LiveBlocks() - live;
            EXPECT_TRUE(faulted && stoppedThere && leaked == 0) << "failing " << trace[k];
        }
        state.throwAtCall = 0;
    }
};

TEST_F(TXDllLineTest, EachLineWritesItsPiecesAndMakesItsCallsInOrderUpToAnyFailure)
{
    fake_registry::State().known = {"foo"};
    for (const TLine& line : s_lines) {
        SCOPED_TRACE(line.cmdName + (" " + ::testing::PrintToString(line.words)));
        Check(line);
    }
}

TEST_F(TXDllTest, RereadReadsTheFileNamedAtConstructionWhateverTheStoreIsCalledNow)
{
    const testsupport::TScratchDir dir;
    const std::string path = dir.Path() + "/xdll.conf";
    std::ofstream(path) << "[ext foo]\npath = /lib/foo.so\n";
    KAF::BFileNV named(path.c_str());
    XDllCmdHndlr namedHandler(named, m_agents);
    fake_registry::State().pStore = &named;
    named.m_fileName = KAF::BString("/nonexistent/renamed.conf");
    TRecordingStream out;
    Run(out, {"-r", "-r"}, "xdll", &namedHandler);
    EXPECT_EQ(1, named.SectionCount());
    EXPECT_STREQ(path.c_str(), named.m_fileName.c_str());
    EXPECT_EQ((Strings{"Load(store)", "Load(store)"}), Calls());
    EXPECT_TRUE(out.m_pieces.empty());
}

// Ten pieces a record, the count asked before each record; plain arguments filter nothing. A
// counted record the registry cannot give is skipped.
TEST_F(TXDllLineTest, ListsEveryRecordWithItsLoadFlagAndStatus)
{
    // Each record with the load flag and status the listing shows for it.
    const std::tuple<ExtAgent, const char*, const char*> listed[] = {
        {{"foo", "/lib/foo.so", "foo/web", 1, 1, 0}, "1", "FAILED TO LOAD"},
        {{"b", "/b", "w", 0, 2, 0}, "0", "FAILED TO INITIALIZE/REGISTER"},
        {{"c", "/c", "", 7, 3, 0}, "1", "NOT LOADED"},
        {{"d", "/d", "w", 0, 4, 0}, "0", "unknown"},
        {{"e", "/e", "w", -1, 3, -5}, "1", "LOADED"},
    };
    TLine line{{"c", "x"}, {}, {}};
    for (std::size_t i = 0; i < std::size(listed); ++i) {
        const auto& [r, load, status] = listed[i];
        fake_registry::State().records.push_back(r);
        line.pieces.insert(line.pieces.end(),
                           {r.name.c_str(), "\n   Path:   ", r.path.c_str(), "\n   Web:    ",
                            r.web.c_str(), "\n   Load:   ", load, "\n   Status: ", status, "\n"});
        line.calls.insert(line.calls.end(),
                          {"NumExtAgents", "ExtAgentAt(" + std::to_string(i) + ")"});
    }
    fake_registry::State().phantoms = 1;
    line.calls.insert(line.calls.end(), {"NumExtAgents", "ExtAgentAt(5)", "NumExtAgents"});
    Check(line);
}

TEST_F(TXDllTest, PublishesTheCommandTableAndName)
{
    // The help text itself is checked where the host prints it.
    const CliEntry* pRows = m_handler.CmdGetMap();
    EXPECT_TRUE(pRows == XDllCmdHndlr::s_cliEntries && pRows[0].cmdId == 1 &&
                pRows[0].descr == szHelp);
    EXPECT_STREQ("xdll", pRows[0].cmdName);
    EXPECT_TRUE(pRows[1].cmdId == -1 && !pRows[1].cmdName && !pRows[1].descr &&
                !pRows[1].argsDescr);
    EXPECT_STREQ("\"XDllCmdHndlr\"", m_handler.CmdGetHndlrName());
    EXPECT_EQ(XDllCmdHndlr::s_cmdHandlerName, m_handler.CmdGetHndlrName());
}

} // namespace
