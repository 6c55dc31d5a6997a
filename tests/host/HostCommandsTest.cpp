// What the daemon and the shell make of a line, beyond what the interpreter says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "host/commands/BHostCommands.h"
#include "host/kaf/BSubscription.h"
#include "host/server/OutputWait.h"
#include "hostapi/BFileNV.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/RecordingStream.h"
#include "tests/support/Scratch.h"

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

// Notes, for each event, whether the runner took it for a reason why the line fails.
class TFailureWatch : public KAF::IMessageSubscriber {
public:
    explicit TFailureWatch(const BHostCommands& commands) : m_commands(commands) {}
    void Inform(const KAF::BMessage& msg) override
    {
        seen.push_back((m_commands.PublishingFailure() ? "F " : "V ") +
                       std::string(msg.m_text.c_str()));
    }
    std::vector<std::string> seen;

private:
    const BHostCommands& m_commands;
};

// The registry's failures are the reasons a line fails; nothing else published around them is.
TEST(HostCommandsTest, TheRegistrysFailuresAreTakenForTheLinesReasons)
{
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    KAF::BFileNV store;
    BHostCommands commands(store);
    TFailureWatch watch(commands);
    const KAF::BSubscription subscription(dispatcher, watch);
    MuroxLogEvent("before");
    TRecordingStream out;
    EXPECT_EQ(TLineOutcome::kFailed, commands.RunLine("xdll -a web1 /nonexistent/web1.so", out));
    MuroxLogEvent("after");
    EXPECT_THAT(watch.seen, testing::ElementsAre("V before",
                                                 "F extension library 'web1' not added: cannot "
                                                 "write '': no file name",
                                                 "V after"));
}

// Sample libraries: one loads, one fails to initialise, one cannot be opened, one is not to load.
class HostStatusTest : public testing::Test {
protected:
    static std::string Configured(const std::string& path)
    {
        std::ofstream(path)
            << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " BROKEN_LIBRARY
               "\n[extdll c]\npath = /nonexistent.so\n[extdll d]\npath = " IDLE_LIBRARY
               "\nload = 0\n";
        return path;
    }
    // The line's outcome and its answer as one text.
    std::pair<TLineOutcome, std::string> Run(const std::string& line)
    {
        TRecordingStream out;
        const TLineOutcome outcome = m_commands.RunLine(line, out);
        std::string answer;
        for (const std::string& piece : out.m_pieces)
            answer += piece;
        return {outcome, answer};
    }
    // The "key: value" lines of "status", in order.
    std::vector<std::pair<std::string, std::string>> Status()
    {
        const auto [outcome, answer] = Run("status");
        EXPECT_EQ(TLineOutcome::kSucceeded, outcome);
        std::vector<std::pair<std::string, std::string>> facts;
        std::istringstream lines(answer);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t colon = line.find(": ");
            EXPECT_NE(std::string::npos, colon) << line;
            if (colon != std::string::npos)
                facts.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
        return facts;
    }

    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    const testsupport::TScratchDir m_dir;
    const std::string m_path = Configured(m_dir.Path() + "/murox.conf");
    KAF::BFileNV m_store;
    const int m_read = m_store.ReadFile(m_path.c_str());
    BHostCommands m_commands{m_store};
};

using TFacts = std::vector<std::pair<std::string, std::string>>;

TEST_F(HostStatusTest, TheShellSaysItsOwnFactsAndItsLibrariesAsTheyAreNow)
{
    ASSERT_NE(0, m_read);
    TFacts facts = Status();
    ASSERT_EQ(10U, facts.size());
    EXPECT_EQ(std::make_pair(std::string("version"), std::string(MUROX_VERSION)), facts[0]);
    EXPECT_EQ(TFacts({{"mode", "shell"}, {"pid", std::to_string(getpid())}}),
              TFacts(facts.begin() + 1, facts.begin() + 3));
    EXPECT_EQ("uptime_seconds", facts[3].first);
    EXPECT_THAT(facts[3].second, testing::MatchesRegex("[0-9]+"));
    EXPECT_EQ(TFacts({{"configuration", m_path},
                      {"libraries", "4"},
                      {"libraries_loaded", "1"},
                      {"libraries_failed_to_load", "1"},
                      {"libraries_failed_to_initialize", "1"},
                      {"libraries_not_loaded", "1"}}),
              TFacts(facts.begin() + 4, facts.end()));
    ASSERT_EQ(TLineOutcome::kSucceeded, Run("xdll -l d").first);
    ASSERT_EQ(TLineOutcome::kSucceeded, Run("xdll -d a").first);
    facts = Status();
    ASSERT_EQ(10U, facts.size());
    EXPECT_EQ(TFacts({{"libraries", "3"},
                      {"libraries_loaded", "1"},
                      {"libraries_failed_to_load", "1"},
                      {"libraries_failed_to_initialize", "1"},
                      {"libraries_not_loaded", "0"}}),
              TFacts(facts.begin() + 5, facts.end()));

    EXPECT_EQ(std::make_pair(TLineOutcome::kFailed, std::string("\"status\" takes no operand\n")),
              Run("status now"));
}

// The shell's uptime runs from when its commands were made.
TEST_F(HostStatusTest, TheShellsUptimeRunsFromItsStart)
{
    const long long before = MonotonicMs();
    BHostCommands commands(m_store);
    const long long after = MonotonicMs();
    while (MonotonicMs() <= after)
        usleep(1000);
    const TDaemonStatus status = commands.Status();
    EXPECT_LE(before, status.startedMs);
    EXPECT_GE(after, status.startedMs);
    EXPECT_LT(after, status.nowMs);
    EXPECT_FALSE(status.daemon);
    EXPECT_EQ(m_path, status.configuration);
}

// In the daemon, the server adds its facts to what the commands know.
TEST_F(HostStatusTest, TheDaemonsServerAddsItsFacts)
{
    unsigned long loadedSeen = 99;
    m_commands.SetStatusSource([&loadedSeen](TDaemonStatus& status) {
        loadedSeen = status.loaded;
        status.daemon = true;
        status.socket = "/run/x.ctl";
        status.consoles = 2;
        status.eventsDropped = 4;
        status.refusals = 6;
    });
    const TFacts facts = Status();
    EXPECT_EQ(1U, loadedSeen) << "the libraries are counted first";
    ASSERT_EQ(14U, facts.size());
    EXPECT_EQ(std::make_pair(std::string("mode"), std::string("daemon")), facts[1]);
    EXPECT_EQ(TFacts({{"socket", "/run/x.ctl"},
                      {"consoles", "2"},
                      {"events_dropped", "4"},
                      {"consoles_refused", "6"}}),
              TFacts(facts.begin() + 10, facts.end()));
}

// "status" is a command like the others: in the help and the words; no handler may take its word.
TEST_F(HostStatusTest, StatusIsInTheHelpAndTheCompletionWords)
{
    const auto [outcome, help] = Run("help");
    EXPECT_EQ(TLineOutcome::kSucceeded, outcome);
    EXPECT_THAT(help, testing::HasSubstr("\nstatus\n status  "));
    EXPECT_THAT(Run("help status").second, testing::StartsWith("status\n status  "));
    std::vector<std::string> words;
    for (const control::TCommandWord& command : m_commands.CompletionWords().commands)
        words.push_back(command.word);
    EXPECT_THAT(words, testing::ElementsAre("xdll", "help", "status", "quit"));

    class TStatusHandler : public KAF::BCmdHandler {
    public:
        void CmdExecute(KAF::ICmdStream&, const KAF::BString&, const KAF::BStringArray&,
                        const KAF::BSecurityParams&, const KAF::BString&) override
        {
        }
        const char* CmdGetHndlrName() const override { return "mine"; }
        const CliEntry* CmdGetMap() const override
        {
            static const CliEntry s_map[] = {{1, "status", "mine", ""},
                                             {-1, nullptr, nullptr, nullptr}};
            return s_map;
        }
    } handler;
    EXPECT_FALSE(m_commands.Interpreter().Register(handler));
}

// A deploy step run twice: the same add succeeds silently, another path or web part fails.
TEST_F(HostStatusTest, AnAddRepeatedSucceedsAndAnotherForTheNameFails)
{
    const std::string add = "xdll -a e " IDLE_LIBRARY " /w";
    EXPECT_EQ(std::make_pair(TLineOutcome::kSucceeded, std::string()), Run(add));
    EXPECT_EQ(std::make_pair(TLineOutcome::kSucceeded, std::string()), Run(add));
    EXPECT_EQ(TLineOutcome::kFailed, Run("xdll -a e " IDLE_LIBRARY).first);
    EXPECT_EQ(TLineOutcome::kFailed, Run("xdll -a e " HELLO_LIBRARY " /w").first);
    EXPECT_EQ(TLineOutcome::kSucceeded, Run(add).first);
}

// The server rebuilds the completion words only when a line may have
// changed them: an action (its switch may add, remove or re-read names),
// or a reload; never a listing, help or status.
TEST_F(HostStatusTest, OnlyActionsAndReloadsMayChangeTheWords)
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
    std::vector<std::string> names = m_commands.CompletionWords().names;
    EXPECT_THAT(names, testing::ElementsAre("a", "b", "c", "d"));
}

// An "xdll" line is an action whatever place its switch takes: one that
// answers only to say why it could not act fails its line.
TEST_F(HostStatusTest, ASwitchAfterTheNameMakesAnActionToo)
{
    EXPECT_EQ(std::make_pair(TLineOutcome::kFailed, std::string("No such ext DLL\n")),
              Run("xdll nosuch -l"));
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("xdll nosuch").first) << "a listing of nothing";
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("xdll a -u").first);
}

// However many libraries are configured, the words a console is sent
// name at most kMaxWords of them.
TEST(HostWordsTest, TheNamesAreBounded)
{
    char dir[] = "/tmp/murox-words-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/murox.conf";
    {
        std::ofstream config(path);
        for (std::size_t i = 0; i < control::kMaxWords + 2; ++i)
            config << "[extdll e" << i << "]\npath = /nonexistent.so\nload = 0\n";
    }
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    KAF::BFileNV store;
    ASSERT_NE(0, store.ReadFile(path.c_str()));
    {
        BHostCommands commands(store);
        const control::TCommandWords words = commands.CompletionWords();
        EXPECT_EQ(control::kMaxWords, words.names.size());
        EXPECT_EQ("e0", words.names.front());
    }
    std::filesystem::remove_all(dir);
}

// Records the reloads it is told of with the registry's counts then: before and after the change.
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
    void Configure(const std::string& text)
    {
        std::ofstream(m_path) << text;
        ASSERT_NE(0, m_store.ReadFile(m_path.c_str()));
    }

    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/murox.conf";
    KAF::BFileNV m_store;
};

// Failed counts what was to load and could not; a library configured not to load is neither.
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

// Every line that re-reads the configuration is reported around its run, however it is written.
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
