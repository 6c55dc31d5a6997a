// What the daemon and the shell make of a line, beyond what the
// interpreter says: a command that throws fails its line, with the reason
// at the end of its answer, and the next line runs as usual.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/commands/BHostCommands.h"
#include "hostapi/BFileNV.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/RecordingStream.h"

namespace {

// "boom" writes part of an answer and throws.
class TThrowingHandler : public KAF::BCmdHandler {
public:
    void CmdExecute(KAF::ICmdStream& out, const KAF::BString&, const KAF::BStringArray&,
                    const KAF::BSecurityParams&, const KAF::BString&) override
    {
        out.Write(KAF::BString("partial\n"));
        throw std::runtime_error("out of memory");
    }
    const char* CmdGetHndlrName() const override { return "boom"; }
    const CliEntry* CmdGetMap() const override
    {
        static const CliEntry s_map[] = {{1, "boom", "throws", ""},
                                         {-1, nullptr, nullptr, nullptr}};
        return s_map;
    }
};

TEST(HostCommandsTest, ACommandThatThrowsFailsItsLine)
{
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    KAF::BFileNV store;
    BHostCommands commands(store);
    TThrowingHandler handler;
    ASSERT_TRUE(commands.Interpreter().Register(handler));
    TRecordingStream out;
    EXPECT_EQ(TLineOutcome::kFailed, commands.RunLine("boom now", out));
    EXPECT_THAT(out.m_pieces,
                testing::ElementsAre("partial\n", "murox: command failed: out of memory\n"));
    TRecordingStream next;
    EXPECT_EQ(TLineOutcome::kSucceeded, commands.RunLine("help boom", next));
    EXPECT_THAT(next.m_pieces, testing::Not(testing::IsEmpty()));
}

// Records the reloads it is told of, with the registry's counts at the
// moment, so that "around" means before and after the registry changed.
class TReloadRecorder : public IReloadWatcher {
public:
    explicit TReloadRecorder(BHostCommands& commands) : m_commands(commands) {}
    void ReloadStarts() override { Note("starts"); }
    void ReloadEnded() override { Note("ended"); }
    void Note(const char* szWhat)
    {
        const TExtensionCounts counts = m_commands.Extensions();
        m_told.push_back(std::string(szWhat) + " " + std::to_string(counts.loaded) + "/" +
                         std::to_string(counts.failed));
    }
    BHostCommands& m_commands;
    std::vector<std::string> m_told;
};

class HostCommandsReloadTest : public testing::Test {
protected:
    HostCommandsReloadTest()
    {
        char dir[] = "/tmp/murox-commands-XXXXXX";
        m_dir = mkdtemp(dir);
        m_path = m_dir + "/murox.conf";
    }
    ~HostCommandsReloadTest() override
    {
        unlink(m_path.c_str());
        unlink((m_path + ".lock").c_str());
        rmdir(m_dir.c_str());
    }
    void Configure(const std::string& text)
    {
        std::ofstream(m_path) << text;
        ASSERT_NE(0, m_store.ReadFile(m_path.c_str()));
    }

    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    std::string m_dir;
    std::string m_path;
    KAF::BFileNV m_store;
};

// Loaded counts what is loaded now; failed, what was to load and could not
// be opened or started; a library configured not to load is neither.
TEST_F(HostCommandsReloadTest, TheCountsAreWhatTheListingShows)
{
    Configure("[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " BROKEN_LIBRARY
              "\n[extdll c]\npath = /nonexistent/lib.so\n[extdll d]\npath = " IDLE_LIBRARY
              "\nload = 0\n");
    BHostCommands commands(m_store);
    TExtensionCounts counts = commands.Extensions();
    EXPECT_EQ(1U, counts.loaded);
    EXPECT_EQ(2U, counts.failed);
    TRecordingStream out;
    commands.RunLine("xdll -l d", out);
    commands.RunLine("xdll -u a", out);
    counts = commands.Extensions();
    EXPECT_EQ(1U, counts.loaded);
    EXPECT_EQ(2U, counts.failed);
}

// Every line that re-reads the configuration is reported before it runs
// and after, however the switch is written; no other line is.
TEST_F(HostCommandsReloadTest, EveryReloadIsToldAroundIt)
{
    Configure("[extdll a]\npath = " HELLO_LIBRARY "\n");
    BHostCommands commands(m_store);
    TReloadRecorder recorder(commands);
    commands.WatchReloads(&recorder);
    TRecordingStream out;
    for (const char* szLine : {"xdll", "help xdll", "xdll -l a", "xdll -u a", "xdll r", "-r"})
        commands.RunLine(szLine, out);
    EXPECT_THAT(recorder.m_told, testing::IsEmpty());
    commands.RunLine("xdll -r", out);
    EXPECT_THAT(recorder.m_told, testing::ElementsAre("starts 0/0", "ended 1/0"));
    recorder.m_told.clear();
    std::ofstream(m_path) << "[extdll a]\npath = " HELLO_LIBRARY
                             "\n[extdll b]\npath = " IDLE_LIBRARY "\n";
    commands.RunLine("  xdll   -u a -r", out);
    EXPECT_THAT(recorder.m_told, testing::ElementsAre("starts 1/0", "ended 2/0"));
    recorder.m_told.clear();
    commands.Reload(out);
    EXPECT_THAT(recorder.m_told, testing::ElementsAre("starts 2/0", "ended 2/0"));
    recorder.m_told.clear();
    // A reload that fails is over all the same.
    std::ofstream(m_path) << "[extdll a\n";
    commands.Reload(out);
    EXPECT_THAT(recorder.m_told, testing::ElementsAre("starts 2/0", "ended 2/0"));
    recorder.m_told.clear();
    commands.WatchReloads(nullptr);
    commands.RunLine("xdll -r", out);
    EXPECT_THAT(recorder.m_told, testing::IsEmpty());
}

} // namespace
