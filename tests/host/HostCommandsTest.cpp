// What the shell and the daemon make of a line: the interpreter's outcomes, help, tables and words,
// and what the host's commands add: status, the registry's failures, reloads and completion words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "host/commands/BHostCommands.h"
#include "host/kaf/BSubscription.h"
#include "host/outputs/OutputWait.h"
#include "host/server/BAnswerStream.h"
#include "hostapi/BFileNV.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/RecordingStream.h"
#include "tests/support/Scratch.h"

namespace {

using testing::ElementsAre;
using TRun = std::pair<TLineOutcome, std::string>;

// A handler with the table it is given; each command run is noted as "word arg arg" and answered,
// and one given "boom" throws after its answer (what a handler's own bug throws: no runtime error).
class TTableHandler : public KAF::BCmdHandler {
public:
    explicit TTableHandler(const CliEntry* pMap) : m_pMap(pMap) {}
    void CmdExecute(KAF::ICmdStream& out, const KAF::BString& command,
                    const KAF::BStringArray& args, const KAF::BSecurityParams&,
                    const KAF::BString&) override
    {
        std::string call = command.c_str();
        for (int i = 0; i < args.Count(); ++i)
            call += std::string(" ") + args.At(i).c_str();
        m_calls.push_back(call);
        out.Write(KAF::BString(("ran " + call + "\n").c_str()));
        if (call.find("boom") != std::string::npos)
            throw std::out_of_range("no entry 7");
    }
    const char* CmdGetHndlrName() const override { return "TTableHandler"; }
    const CliEntry* CmdGetMap() const override { return m_pMap; }

    std::vector<std::string> m_calls;

private:
    const CliEntry* m_pMap;
};

const CliEntry kFrob[] = {
    {1, "frob", "Frobnication\n frob -x <name>   frob one\n frob -y <n> <m>  frob two\n",
     "[-x <name> | -y <n> <m>]"},
    {2, "twiddle", " twiddle          untitled", ""},
    {-1, nullptr, nullptr, nullptr},
};

// Notes each event, and whether the runner took it for a reason why the line fails ("F") or not
// ("V"), and each reload it is told of with the registry's counts then: before and after it.
class TWatch : public KAF::IMessageSubscriber, public IReloadWatcher {
public:
    explicit TWatch(BHostCommands& commands) : m_commands(commands) {}
    void Inform(const KAF::BMessage& msg) override
    {
        m_seen.push_back((m_commands.PublishingFailure() ? "F " : "V ") +
                         std::string(msg.m_text.c_str()));
    }
    void ReloadStarts() override { Note("starts"); }
    void ReloadEnded() override { Note("ended"); }
    void Note(const char* szWhat)
    {
        const TExtensionCounts counts = m_commands.Extensions();
        m_seen.push_back(std::string(szWhat) + " " + std::to_string(counts.loaded) + "/" +
                         std::to_string(counts.failed));
    }
    BHostCommands& m_commands;
    std::vector<std::string> m_seen;
};

// Where the samples are: root loads from there.
const char kDirs[] = "[murox]\nextension_dirs = " EXTENSION_DIRS "\n";

// Sample libraries: one loads, one fails to initialise, one cannot be opened, one is not to load;
// "frob" and "twiddle" are registered after "xdll".
class HostCommandsTest : public testing::Test {
protected:
    static std::string Configured(const std::string& path)
    {
        std::ofstream(path)
            << kDirs
            << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " BROKEN_LIBRARY
               "\n[extdll c]\npath = /nonexistent.so\n[extdll d]\npath = " IDLE_LIBRARY
               "\nload = 0\n";
        return path;
    }
    void SetUp() override { ASSERT_TRUE(m_commands.Interpreter().Register(m_frob)); }
    // The line's outcome and its answer as one text.
    TRun Run(const std::string& line)
    {
        std::string answer;
        BAnswerStream out(answer);
        return {m_commands.RunLine(line, out), answer};
    }

    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    const testsupport::TScratchDir m_dir;
    const std::string m_path = Configured(m_dir.Path() + "/murox.conf");
    KAF::BFileNV m_store;
    const int m_read = m_store.ReadFile(m_path.c_str());
    TTableHandler m_frob{kFrob};
    const long long m_beforeMs = MonotonicMs();
    BHostCommands m_commands{m_store};
    const long long m_afterMs = MonotonicMs();
};

// An "xdll" line is an action whatever place its switch takes: one that answers only to say why it
// could not act fails its line. A deploy step run twice: the same add succeeds silently.
TEST_F(HostCommandsTest, ALineSucceedsFailsOrLeavesAsItsCommandSays)
{
    const std::string add = "xdll -a e " IDLE_LIBRARY " /w";
    const TRun unknown(TLineOutcome::kFailed,
                       "Unknown command 'nosuch'; \"help\" lists the commands\n");
    const std::pair<const char*, TRun> cases[] = {
        {"  frob\t-x  a ", {TLineOutcome::kSucceeded, "ran frob -x a\n"}},
        {"twiddle", {TLineOutcome::kSucceeded, "ran twiddle\n"}},
        {" \t ", {TLineOutcome::kSucceeded, ""}},
        {"nosuch now", unknown},
        // Help on an unknown topic fails its line, as an unknown command does.
        {"help nosuch", unknown},
        {"status now", {TLineOutcome::kFailed, "\"status\" takes no operand\n"}},
        {"frob boom",
         {TLineOutcome::kFailed, "ran frob boom\nmurox: command failed: no entry 7\n"}},
        {"help twiddle", {TLineOutcome::kSucceeded, "twiddle\n twiddle          untitled\n"}},
        {"quit", {TLineOutcome::kLeave, ""}},
        {" quit now", {TLineOutcome::kLeave, ""}},
        {"quits",
         {TLineOutcome::kFailed, "Unknown command 'quits'; \"help\" lists the commands\n"}},
        {"xdll nosuch -l", {TLineOutcome::kFailed, "No such ext DLL\n"}},
        {"xdll a -u", {TLineOutcome::kSucceeded, ""}},
        {add.c_str(), {TLineOutcome::kSucceeded, ""}},
        {add.c_str(), {TLineOutcome::kSucceeded, ""}},
        {"xdll -a e " HELLO_LIBRARY " /w", {TLineOutcome::kFailed, ""}},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(expected, Run(line)) << line;
    EXPECT_THAT(m_frob.m_calls, ElementsAre("frob -x a", "twiddle", "frob boom"));
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("xdll nosuch").first) << "a listing, not an action";
}

// Commands are headed by their handler's first help's title, else their words, never its class
// name; the help of one command is its part of that, with a line break added.
TEST_F(HostCommandsTest, HelpListsEveryCommandUnderWhatItIsFor)
{
    const CliEntry untitled[] = {{1, "zap", " zap   zaps", ""},
                                 {2, "zip", nullptr, nullptr},
                                 {-1, nullptr, nullptr, nullptr}};
    TTableHandler other(untitled);
    ASSERT_TRUE(m_commands.Interpreter().Register(other));
    const std::string frob = "frob [-x <name> | -y <n> <m>]\n";
    const std::string frobHelp = " frob -x <name>   frob one\n frob -y <n> <m>  frob two\n";
    const std::string quit =
        "quit\n quit                            leave murox (so does the end of input)\n";
    const TRun help = Run("help");
    EXPECT_EQ(TLineOutcome::kSucceeded, help.first);
    EXPECT_THAT(help.second, testing::StartsWith("Extension DLL admin:\nxdll [ [ -l | -u "));
    EXPECT_THAT(help.second,
                testing::EndsWith(
                    "\nFrobnication:\n" + frob + frobHelp +
                    "twiddle\n twiddle          untitled\nCommands zap, zip:\nzap\n zap   zaps\n"
                    "zip\nCommands of murox:\nhelp [<command>]\n"
                    " help                            list every command with its help\n"
                    " help <command>                  the help of one command\nstatus\n"
                    " status                          murox's state, one \"key: value\" line a "
                    "fact\n" +
                    quit));
    EXPECT_EQ(TRun(TLineOutcome::kSucceeded, frob + "Frobnication\n" + frobHelp), Run("help frob"));
    EXPECT_EQ(TRun(TLineOutcome::kSucceeded, quit), Run("help quit"));
    EXPECT_THAT(m_frob.m_calls, testing::IsEmpty());
}

// A table naming a word taken already, by anyone or twice in itself, or none, is refused whole.
TEST_F(HostCommandsTest, ATableThatNamesATakenWordIsRefusedWhole)
{
    for (const char* szTaken :
         {"help", "status", "quit", "xdll", "frob", "", "new", static_cast<const char*>(nullptr)}) {
        const std::string taken = szTaken != nullptr ? szTaken : "(none)";
        const CliEntry table[] = {{1, "fresh", "", ""},
                                  {2, szTaken, "", ""},
                                  {3, taken == "new" ? "new" : "other", "", ""},
                                  {-1, nullptr, nullptr, nullptr}};
        TTableHandler handler(table);
        EXPECT_FALSE(m_commands.Interpreter().Register(handler)) << taken;
        EXPECT_EQ(TLineOutcome::kFailed, Run("fresh").first) << taken << ": nothing registered";
        EXPECT_THAT(Run("help").second, testing::Not(testing::HasSubstr("fresh"))) << taken;
        EXPECT_THAT(Run("help quit").second, testing::StartsWith("quit\n quit  ")) << taken;
    }
}

// The shell's facts and its libraries' as they are now; in the daemon, the server adds its own.
TEST_F(HostCommandsTest, StatusSaysTheFactsAsTheyAreNow)
{
    ASSERT_NE(0, m_read);
    while (MonotonicMs() <= m_afterMs)
        usleep(1000);
    const TDaemonStatus status = m_commands.Status();
    EXPECT_EQ(getpid(), status.pid);
    EXPECT_LE(m_beforeMs, status.startedMs) << "the uptime runs from when the commands were made";
    EXPECT_GE(m_afterMs, status.startedMs);
    EXPECT_LT(m_afterMs, status.nowMs);
    EXPECT_FALSE(status.daemon);
    EXPECT_EQ(m_path, status.configuration);
    EXPECT_THAT(status.extensionDirs, testing::EndsWith("/usr/local/lib/murox:" EXTENSION_DIRS));
    ASSERT_EQ(TLineOutcome::kSucceeded, Run("xdll -l d").first);
    ASSERT_EQ(TLineOutcome::kSucceeded, Run("xdll -d a").first);
    unsigned long loadedSeen = 99;
    m_commands.SetStatusSource([&loadedSeen](TDaemonStatus& filled) {
        loadedSeen = filled.loaded;
        filled.daemon = true;
        filled.socket = "/run/x.ctl";
    });
    const TRun answer = Run("status");
    EXPECT_EQ(TLineOutcome::kSucceeded, answer.first);
    // The counts as the registry gives them, the server's facts (the key lines: the status's test).
    EXPECT_THAT(answer.second, testing::HasSubstr("\nmode: daemon\n"));
    EXPECT_THAT(
        answer.second,
        testing::HasSubstr("\nlibraries: 3\nlibraries_loaded: 1\nlibraries_failed_to_load: 1\n"
                           "libraries_failed_to_initialize: 1\nlibraries_not_loaded: 0\n"));
    EXPECT_THAT(answer.second, testing::HasSubstr("\nsocket: /run/x.ctl\n"));
    EXPECT_EQ(1U, loadedSeen) << "the libraries are counted first";
}

// The server rebuilds the completion words only when a line may have
// changed them: an action (its switch may add, remove or re-read names),
// or a reload; never a listing, help or status.
TEST_F(HostCommandsTest, TheWordsChangeOnlyAfterActionsAndReloads)
{
    EXPECT_TRUE(m_commands.TakeWordsChanged()) << "the first words are never taken";
    EXPECT_FALSE(m_commands.TakeWordsChanged());
    for (const char* szLine : {"xdll", "help", "help xdll", "status", "frob -a x", ""}) {
        Run(szLine);
        EXPECT_FALSE(m_commands.TakeWordsChanged()) << szLine;
    }
    for (const char* szLine : {"xdll -a e " IDLE_LIBRARY, "xdll -d e", "xdll -r", "xdll -x"}) {
        Run(szLine);
        EXPECT_TRUE(m_commands.TakeWordsChanged()) << szLine;
        EXPECT_FALSE(m_commands.TakeWordsChanged()) << szLine;
    }
    TRecordingStream out;
    m_commands.Reload(out);
    EXPECT_TRUE(m_commands.TakeWordsChanged()) << "a reload by signal";
    // The words: commands with their switches (those taking a library's name marked), then the
    // libraries' names, at most kMaxWords however many are configured.
    {
        std::ofstream config(m_path, std::ios::app);
        for (std::size_t i = 0; i < control::kMaxWords; ++i)
            config << "[extdll e" << i << "]\npath = /nonexistent.so\nload = 0\n";
    }
    Run("xdll -r");
    const control::TCommandWords words = m_commands.CompletionWords();
    std::string commands;
    for (const control::TCommandWord& command : words.commands) {
        commands += command.word + "(";
        for (const auto& option : command.switches)
            commands += option.word + (option.takesName ? "* " : " ");
        commands += ") ";
    }
    EXPECT_EQ("xdll(-l* -u* -f* -r -a -d* ) frob(-x* -y ) twiddle() help() status() quit() ",
              commands);
    ASSERT_EQ(control::kMaxWords, words.names.size());
    EXPECT_THAT(std::vector<std::string>(words.names.begin(), words.names.begin() + 5),
                ElementsAre("a", "b", "c", "d", "e0"));
}

// Every line that re-reads the configuration is reported around its run, however it is written;
// failed counts what was to load and could not, and a library configured not to load is neither.
// The registry's failures are the reasons a line fails; nothing else published in it is.
TEST_F(HostCommandsTest, EveryReloadIsToldAroundItAndItsFailuresFailIt)
{
    using testing::StartsWith;
    TWatch watch(m_commands);
    m_commands.WatchReloads(&watch);
    for (const char* szLine : {"xdll", "help xdll", "xdll -u a", "xdll r", "-r"})
        Run(szLine);
    EXPECT_THAT(watch.m_seen, testing::IsEmpty());
    const KAF::BSubscription subscription(m_dispatcher, watch);
    EXPECT_EQ(TLineOutcome::kFailed, Run("xdll -r").first);
    EXPECT_THAT(
        watch.m_seen,
        ElementsAre("starts 0/2", "V hello: init", StartsWith("V broken: init refuses"),
                    StartsWith("F extension library 'b' not loaded: MuroxExtInit"),
                    StartsWith("F extension library 'c' not loaded: cannot read /nonexistent.so"),
                    "ended 1/2"));
    watch.m_seen.clear();
    std::ofstream(m_path) << kDirs
                          << "[extdll a]\npath = " HELLO_LIBRARY
                             "\n[extdll b]\npath = " IDLE_LIBRARY "\n";
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("  xdll   -u a -r").first);
    EXPECT_THAT(watch.m_seen, ElementsAre("starts 1/2", "V hello: term", "V hello: init",
                                          "V idle: init", "ended 2/0"));
    watch.m_seen.clear();
    TRecordingStream out;
    // A reload that fails is over all the same.
    std::ofstream(m_path) << "[extdll a\n";
    m_commands.Reload(out);
    const auto refused = StartsWith("F configuration not applied, extension libraries unchanged");
    EXPECT_THAT(watch.m_seen, ElementsAre("starts 2/0", refused, "ended 2/0"));
    watch.m_seen.clear();
    m_commands.WatchReloads(nullptr);
    m_commands.Reload(out);
    EXPECT_THAT(watch.m_seen, ElementsAre(refused));
}

} // namespace
