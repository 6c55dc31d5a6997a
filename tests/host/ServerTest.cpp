// The daemon's output: each line's record, the system log's queue, the sink, the consoles' budget.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "host/kaf/BSubscription.h"
#include "host/outputs/BLinePrefix.h"
#include "host/outputs/BStdoutCapture.h"
#include "host/outputs/BStdoutQueue.h"
#include "host/outputs/BSyslogQueue.h"
#include "host/outputs/ILogOutput.h"
#include "host/outputs/JournalStream.h"
#include "host/protocol/VisibleText.h"
#include "host/registry/ExtFailures.h"
#include "host/server/BAnswerStream.h"
#include "host/server/LineAudit.h"
#include "host/server/PeerAccess.h"
#include "tests/host/ServerFixture.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using testsupport::ReadAll;

// A line's record says who sent it, with its blanks collapsed (and says so); a long line is logged
// whole, in parts cut between characters.
TEST(LineAuditTest, ALineIsLoggedWithItsCommandWholeInParts)
{
    const std::pair<std::string, std::string> lines[] = {
        {std::string(1100, ' ') + "xdll -a hidden /x/lib.so\t\t  ",
         "xdll -a hidden /x/lib.so (blanks collapsed)"},
        {"xdll  -l\thello", "xdll -l hello (blanks collapsed)"},
        {"xdll -l hello", "xdll -l hello"},
        {"", ""},
        // Blanks between the words of a line too long for one record.
        {"xdll" + std::string(3000, ' ') + "-u" + std::string(1000, '\t') + "x",
         "xdll -u x (blanks collapsed)"}};
    for (const auto& line : lines)
        EXPECT_THAT(LineAuditRecords("uid 0, pid 7", line.first),
                    testing::ElementsAre("line from uid 0, pid 7: " + line.second));
    // Every kind of character, escaped or not, and a lone backslash, at every offset of a cut.
    const std::string unit = "a\x1b]0;t\x07\xe2\x80\xae\xc3\xa9\xf0\x9f\x98\x80\\q";
    std::string line = "xdll -a ";
    while (line.size() + unit.size() <= control::kMaxLine)
        line += unit;
    // Peers of every length move the cuts through every offset of the unit.
    for (std::string who = "uid 4294967295, pid 2147483647"; who.size() < 70; who += '0') {
        const std::vector<std::string> records = LineAuditRecords(who, line);
        ASSERT_GT(records.size(), 3U);
        std::string joined;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::string head = "line from " + who + ", part " + std::to_string(i + 1) +
                                     " of " + std::to_string(records.size()) + ": ";
            ASSERT_EQ(head, records[i].substr(0, head.size()));
            EXPECT_LE(records[i].size(), kMaxAuditRecord);
            const std::string piece = records[i].substr(head.size());
            EXPECT_NE(std::string::npos, piece.find_first_not_of(" \t")) << i;
            // A piece is text of its own: nothing cut off either end.
            EXPECT_EQ(piece, control::VisibleLine(piece)) << i;
            joined += piece;
            // Nor an escape: "\\", "\\x" or "\\xH" at its end.
            const std::size_t slash = piece.rfind('\\');
            EXPECT_FALSE(slash != std::string::npos && slash + 3 >= piece.size() &&
                         piece.find_first_not_of("x0123456789abcdef", slash + 1) ==
                             std::string::npos)
                << piece;
        }
        EXPECT_EQ(control::VisibleLine(line), joined);
    }
}

// Who is let in, by what the kernel says of the peer. Where its groups come from the kernel's
// record of the process with its pid, only a process of the peer's own effective uid and gid lends
// them: a pid taken since by another user's process lends none.
TEST(PeerAccessTest, APeerIsJudgedByItsOwnCredentials)
{
    // Root, the daemon's user (500), the group (40) as the process's own or a supplementary one.
    const std::pair<TPeer, bool> peers[] = {
        {{0, 0, 1, {}, ""}, true},       {{0, 500, 1, {}, ""}, true},
        {{0, 7, 40, {}, ""}, true},      {{0, 7, 1, {3, 40}, ""}, true},
        {{0, 7, 1, {3, 41}, ""}, false}, {{0, 40, 1, {}, ""}, false}};
    for (const auto& peer : peers)
        EXPECT_EQ(peer.second, PeerAllowed(peer.first, 500, 40)) << peer.first.uid;
    const std::pair<std::string, std::string> records[] = {
        {"Uid:\t7\t7\t7\t7\nGid:\t1\t1\t1\t1\nGroups:\t3 40 \n", ""},
        {"Uid:\t8\t8\t8\t8\nGid:\t1\t1\t1\t1\nGroups:\t40\n",
         "process 9 is now one of uid 8, gid 1"},
        {"Uid:\t7\t8\t7\t7\nGid:\t1\t1\t1\t1\nGroups:\t40\n",
         "process 9 is now one of uid 8, gid 1"},
        {"Uid:\t7\t7\t7\t7\nGid:\t1\t2\t1\t1\nGroups:\t40\n",
         "process 9 is now one of uid 7, gid 2"},
        {"Uid:\t7\t7\t7\t7\nGid:\t1\t1\t1\t1\n",
         "the kernel's record of process 9 cannot be read"}};
    for (const auto& record : records) {
        TPeer peer{9, 7, 1, {}, ""};
        EXPECT_EQ(record.second.empty(), GroupsFromStatus("Name:\tmurox\n" + record.first, peer));
        EXPECT_EQ(record.second, peer.groupsProblem);
        EXPECT_EQ(record.second.empty() ? ""
                                        : "uid 7 is not root, the daemon's user or a member of "
                                          "group adm (its supplementary groups are unknown: " +
                                              record.second + ")",
                  PeerRefusal(peer, 500, 40, "adm"));
    }
}

// A datagram socket bound where the log listens, in a folder of its own.
class TLogSocket {
public:
    void Bind() { ASSERT_TRUE((m_fd = testsupport::BoundDatagram(m_path)).Valid()); }
    void Close()
    {
        m_fd = BFd();
        unlink(m_path.c_str());
    }
    // "<PRI>" and the text after "murox[PID]: " of every datagram waiting.
    std::vector<std::string> Read()
    {
        std::vector<std::string> texts;
        const std::size_t text =
            std::strlen("<99>Mmm dd hh:mm:ss murox[]: ") + std::to_string(getpid()).size();
        for (const std::string& datagram : testsupport::Datagrams(m_fd.Get()))
            texts.push_back(datagram.substr(0, 4) + datagram.substr(text));
        return texts;
    }
    const std::string& Path() const { return m_path; }

private:
    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/log";
    BFd m_fd;
};

TEST(SyslogQueueTest, RecordsHaveTheSinksFormInTheLocalTime)
{
    const char* szSaved = std::getenv("TZ");
    const std::string saved = szSaved != nullptr ? szSaved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::string pid = std::to_string(getpid());
    // The daemon's facility, the record's own level.
    EXPECT_EQ("<27>Dec  5 16:58:12 murox[" + pid + "]: abc\n",
              BSyslogQueue::Datagram("abc\n", 1796489892, TLogPriority::kErr));
    EXPECT_EQ("<30>Jan 15 03:04:05 murox[" + pid + "]: %s\n",
              BSyslogQueue::Datagram("%s\n", 1768446245, TLogPriority::kInfo));
    setenv("TZ", "XYZ-2", 1); // two hours east of UTC
    tzset();
    EXPECT_EQ("<27>Dec  5 18:58:12 murox[" + pid + "]: \n",
              BSyslogQueue::Datagram("\n", 1796489892, TLogPriority::kErr));
    if (szSaved != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

const std::string kLogNote = " event records dropped: the system log is not being read\n";

// A log that does not read costs counted records, never a wait; the count follows what was queued.
TEST(SyslogQueueTest, AStalledLogCostsCountedRecordsNeverAWait)
{
    TLogSocket log;
    log.Bind();
    BSyslogQueue queue(log.Path());
    const std::string record(999, 'r');
    // Past the socket's and the queue's limits; a blocking send would hang the test here.
    const std::size_t count = 3 * BSyslogQueue::kLimit / record.size();
    for (std::size_t taken = 0; taken < count; ++taken)
        queue.Take((record + std::to_string(taken) + "\n").c_str(),
                   record.size() + 1 + std::to_string(taken).size(), TLogPriority::kInfo);
    EXPECT_TRUE(queue.Pending());
    EXPECT_GE(queue.Fd(), 0);
    std::vector<std::string> received = log.Read();
    // The log reads again: the loop drains while the socket is writable.
    for (int turn = 0; turn < 10000 && queue.Pending(); ++turn) {
        queue.Drain();
        const std::vector<std::string> more = log.Read();
        received.insert(received.end(), more.begin(), more.end());
    }
    EXPECT_FALSE(queue.Pending());
    ASSERT_GT(received.size(), 2U);
    const std::string note = received.back();
    received.pop_back();
    const std::size_t dropped = count - received.size();
    EXPECT_GT(dropped, 0U);
    EXPECT_EQ("<28>" + std::to_string(dropped) + kLogNote, note);
    // What was kept is in order, from the first record on, each at its own priority.
    EXPECT_EQ("<30>" + record + "0\n", received[0]);
    std::size_t last = 0;
    for (const std::string& text : received) {
        ASSERT_EQ(0U, text.find("<30>" + record)) << text;
        const std::size_t number = std::stoul(text.substr(4 + record.size()));
        EXPECT_TRUE(number == 0 || number > last);
        last = number;
    }
    // Told once: the next record comes alone.
    queue.Take("after\n", 6, TLogPriority::kErr);
    EXPECT_THAT(log.Read(), testing::ElementsAre("<27>after\n"));
    EXPECT_EQ(dropped, queue.DroppedRecords()) << "counted since the start, told or not";
}

// With no log, or a restarted one, records are lost and counted until one finds the log again; a
// record too large for one datagram is lost alone.
TEST(SyslogQueueTest, ALogThatIsGoneIsLookedForAtEachRecord)
{
    TLogSocket log;
    BSyslogQueue queue(log.Path());
    queue.Take("a\n", 2, TLogPriority::kInfo);
    queue.Take("b\n", 2, TLogPriority::kInfo);
    EXPECT_FALSE(queue.Pending()) << "nothing to wait for";
    log.Bind();
    queue.Take("c\n", 2, TLogPriority::kNotice);
    EXPECT_THAT(log.Read(), testing::ElementsAre("<29>c\n", "<28>2" + kLogNote));
    // Restarted: the old connection leads nowhere.
    log.Close();
    log.Bind();
    queue.Take("d\n", 2, TLogPriority::kInfo);
    queue.Take("e\n", 2, TLogPriority::kInfo);
    EXPECT_THAT(log.Read(), testing::ElementsAre("<30>e\n", "<28>1" + kLogNote));
    const std::string huge(BSyslogQueue::kLimit / 2, 'h');
    queue.Take(huge.data(), huge.size(), TLogPriority::kInfo);
    queue.Take("f\n", 2, TLogPriority::kInfo);
    EXPECT_THAT(log.Read(), testing::ElementsAre("<30>f\n", "<28>1" + kLogNote));
    EXPECT_EQ(4U, queue.DroppedRecords());
    // Gone while records wait for it: every one of them is counted.
    std::size_t taken = 0;
    for (int more = 3; more > 0 && taken < 100000; ++taken) {
        queue.Take(huge.data(), 1000, TLogPriority::kInfo);
        more -= queue.Pending() ? 1 : 0;
    }
    const std::size_t received = log.Read().size();
    log.Close();
    queue.Drain();
    EXPECT_EQ(4 + taken - received, queue.DroppedRecords());
}

// The sink's stdout reaches the output a record at a time, visible, on one line each.
TEST(StdoutCaptureTest, TheSinksRecordsArriveWholeAndVisible)
{
    TRecordingOutput output;
    MuroxMsgSubscriber sink;
    {
        BStdoutCapture capture(output);
        ASSERT_TRUE(capture.Install());
        KAF::BMessageDispatcher dispatcher;
        const eventlog_test::TInstanceScope installed(&dispatcher);
        const KAF::BSubscription subscription(dispatcher, sink);
        MuroxLogEvent("plain %d", 1);
        MuroxLogEvent("%s", "x\x1b]0;title\x07\xe2\x80\xae\ndaemon stopped");
        LogEventAt(TLogPriority::kNotice, "daemon %s", "started");
        {
            const TLogPriorityScope outer(TLogPriority::kErr);
            MuroxLogEvent("outer");
            {
                const TLogPriorityScope inner(TLogPriority::kWarning);
                MuroxLogEvent("inner");
            }
            MuroxLogEvent("outer again");
        }
        ReportExtFailure("extension library '%s' not loaded: %s", "x", "gone");
        MuroxLogEvent("an extension's");
    }
    EXPECT_THAT(output.taken,
                testing::ElementsAre(
                    "<6>plain 1\n", "<6>x\\x1b]0;title\\x07\\xe2\\x80\\xae\\x0adaemon stopped\n",
                    "<5>daemon started\n", "<3>outer\n", "<4>inner\n", "<3>outer again\n",
                    "<4>extension library 'x' not loaded: gone\n", "<6>an extension's\n"));
}

// Fills the socket `fd` until it takes nothing more; what it took.
std::string Filled(int fd)
{
    const std::string chunk(4096, 'f');
    std::string sent;
    for (ssize_t n; (n = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0;)
        sent.append(chunk, 0, static_cast<std::size_t>(n));
    return sent;
}

// Drains `queue` until it has nothing pending, reading `fd` between turns; what was read.
std::string DrainThrough(BStdoutQueue& queue, int fd)
{
    std::string text;
    for (int turn = 0; turn < 10000 && queue.Pending(); ++turn) {
        queue.Drain();
        text += ReadAll(fd);
    }
    EXPECT_FALSE(queue.Pending());
    return text + ReadAll(fd);
}

// For the journal, each record starts with its priority, as sd-daemon(3) reads a service's
// standard output; elsewhere, the sink's lines alone. One taken while none waits goes out at once,
// the loop not needed. Records that find the queue full (the prefix counts toward its limit) are
// counted for good, told at warning once it drained; once the output failed for good, every later
// record is.
TEST(StdoutQueueTest, RecordsCarryTheirPriorityOnlyForTheJournalAndLossesAreCounted)
{
    // Socket pairs for pipes: {the queue's end, the reader's}.
    const auto journal = testsupport::SocketPair();
    BStdoutQueue prefixed(true, journal.first.Get());
    EXPECT_EQ(journal.first.Get(), prefixed.Fd());
    prefixed.Take("daemon started\n", 15, TLogPriority::kNotice);
    EXPECT_EQ("<5>daemon started\n", ReadAll(journal.second.Get()));
    const std::string full = Filled(journal.first.Get());
    prefixed.Take("x: init\n", 8, TLogPriority::kInfo);
    prefixed.Take("not loaded\n", 11, TLogPriority::kWarning);
    prefixed.Take("poll failed\n", 12, TLogPriority::kErr);
    EXPECT_EQ(full + "<6>x: init\n<4>not loaded\n<3>poll failed\n",
              DrainThrough(prefixed, journal.second.Get()));
    const std::string record(BStdoutQueue::kLimit / 2 - 3, 'r');
    const std::string filled = Filled(journal.first.Get());
    for (const char* szRecord : {record.c_str(), record.c_str(), "x\n", "y\n"})
        prefixed.Take(szRecord, std::strlen(szRecord), TLogPriority::kInfo);
    EXPECT_EQ(filled + "<6>" + record + "<6>" + record +
                  "<4>2 event records dropped: standard output is not being read\n",
              DrainThrough(prefixed, journal.second.Get()));
    EXPECT_EQ(2U, prefixed.DroppedRecords()) << "telling of them takes nothing back";
    // At the stop the last records wait, within the bound, for a reader that comes late.
    Filled(journal.first.Get());
    prefixed.Take("daemon stopped\n", 15, TLogPriority::kNotice);
    std::thread reader([&journal] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ReadAll(journal.second.Get());
    });
    prefixed.Finish(60000);
    reader.join();
    EXPECT_FALSE(prefixed.Pending());

    const auto terminal = testsupport::SocketPair();
    BStdoutQueue plain(false, terminal.first.Get());
    plain.Take("not loaded\n", 11, TLogPriority::kWarning);
    EXPECT_EQ("not loaded\n", DrainThrough(plain, terminal.second.Get()));
    const std::string whole(BStdoutQueue::kLimit, 'w');
    const std::string stalled = Filled(terminal.first.Get());
    plain.Take(whole.data(), whole.size(), TLogPriority::kInfo);
    plain.Take("z\n", 2, TLogPriority::kInfo);
    EXPECT_EQ(stalled + whole + "1 event records dropped: standard output is not being read\n",
              DrainThrough(plain, terminal.second.Get()));
    // A pipe whose reader is gone.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    const BFd gone(fds[1]);
    BStdoutQueue broken(false, gone.Get());
    const sighandler_t previous = std::signal(SIGPIPE, SIG_IGN);
    broken.Take("a\n", 2, TLogPriority::kInfo);
    broken.Drain();
    EXPECT_FALSE(broken.Pending()) << "nothing more to wait for";
    broken.Take("b\n", 2, TLogPriority::kInfo);
    broken.Take("c\n", 2, TLogPriority::kInfo);
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(2U, broken.DroppedRecords());
}

// $JOURNAL_STREAM names the journal's stream as "DEVICE:INODE": only the descriptor that still is
// that stream matches.
TEST(JournalStreamTest, OnlyTheNamedStreamIsTheJournal)
{
    const BFd one(socket(AF_UNIX, SOCK_STREAM, 0)), other(socket(AF_UNIX, SOCK_STREAM, 0));
    struct stat status {};
    ASSERT_EQ(0, fstat(one.Get(), &status));
    const std::string device = std::to_string(static_cast<unsigned long long>(status.st_dev));
    const std::string inode = std::to_string(static_cast<unsigned long long>(status.st_ino));
    const std::string named = device + ":" + inode;
    EXPECT_TRUE(IsJournalStream(named.c_str(), one.Get()));
    EXPECT_FALSE(IsJournalStream(named.c_str(), other.Get()));
    EXPECT_FALSE(
        IsJournalStream((std::to_string(status.st_dev + 1) + ":" + inode).c_str(), one.Get()))
        << "the same inode number on another device";
    EXPECT_FALSE(IsJournalStream(nullptr, one.Get()));
    EXPECT_FALSE(IsJournalStream(named.c_str(), -1));
    for (const std::string& malformed :
         {std::string(), device, device + ":", ":" + inode, named + "x", named + ":",
          device + ":-" + inode, "x" + named, named + " "})
        EXPECT_FALSE(IsJournalStream(malformed.c_str(), one.Get())) << malformed;
}

// Each line written through the stream starts with the prefix, however the writes cut it; once
// removed, the stream is the original again. A descriptor that fails makes the stream fail, as
// the original would.
TEST(LinePrefixTest, EveryLineStartsWithThePrefix)
{
    const auto journal = testsupport::SocketPair();
    FILE* const pOriginal = stdin; // any stream the test does not write to
    FILE* pStream = pOriginal;
    {
        BLinePrefix prefix(pStream, journal.first.Get(), "<4>");
        ASSERT_TRUE(prefix.Install());
        ASSERT_NE(pOriginal, pStream);
        std::fprintf(pStream, "murox: %s\n", "cannot read");
        for (const char* szText :
             {"two\nlines\n", "a line in ", "pieces", "\n\n", "%s no format\n", "x\ny", "z\n"})
            std::fputs(szText, pStream);
    }
    EXPECT_EQ(pOriginal, pStream);
    EXPECT_EQ("<4>murox: cannot read\n<4>two\n<4>lines\n<4>a line in pieces\n<4>\n<4>%s no "
              "format\n<4>x\n<4>yz\n",
              ReadAll(journal.second.Get()));
    BLinePrefix failing(pStream, -1, "<4>");
    ASSERT_TRUE(failing.Install());
    EXPECT_EQ(EOF, std::fputs("lost\n", pStream));
    EXPECT_NE(0, std::ferror(pStream));
}

// A server whose consoles are bounded by the budget of them all alone, unless a test says.
class ConsoleBudgetTest : public ServerFixture {
protected:
    static constexpr std::size_t kBudget = std::size_t{256} * 1024;

    ConsoleBudgetTest()
    {
        m_limits.pauseAt = 1024;
        m_limits.maxUnsent = m_limits.hardUnsent = std::size_t{1} << 30;
        m_limits.stallMs = m_limits.partialFrameMs = 1000LL * 3600;
        m_limits.totalUnsent = kBudget;
    }
    void SetUp() override { Start(m_dir.Path() + "/c.ctl", getegid()); }
    // A line's events are held to the budget as they are queued, not once the line is over.
    void Publish(int events)
    {
        const std::string text(1000, 'e');
        for (int i = 0; i < events; ++i) {
            MuroxLogEvent("%s", text.c_str());
            ASSERT_LE(m_pServer->TotalHeld(), kBudget) << i;
        }
    }

    KAF::BMessageDispatcher m_dispatcher;
    const eventlog_test::TInstanceScope m_installed{&m_dispatcher};
    TPriorityRecorder m_log;
    const KAF::BSubscription m_toLog{m_dispatcher, m_log};
};

// Within the budget nobody is dropped, however far behind; consoles each within their limits but
// over the budget together: the slowest go first, told why, no more.
TEST_F(ConsoleBudgetTest, SlowConsolesTogetherStayWithinTheBudget)
{
    std::vector<int> consoles;
    for (pid_t pid = 201; pid <= 206; ++pid)
        consoles.push_back(Attach(pid, true));
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    // About 20 KiB unread for each, more held: under the budget for all six.
    Publish(20);
    m_pServer->Turn(m_runner, 0);
    EXPECT_GT(m_pServer->TotalHeld(), kBudget / 2);
    EXPECT_THAT(m_log.records, testing::Not(testing::Contains(testing::HasSubstr("dropped"))));
    for (int turn = 0; turn < 80; ++turn) {
        Publish(8);
        m_pServer->Turn(m_runner, 0);
        // From 1.5 KiB to 9 KiB a turn: all but the last take less than comes.
        for (std::size_t i = 0; i < consoles.size(); ++i)
            Read(consoles[i], (i + 1) * 1536);
    }
    EXPECT_THAT(m_log.records,
                testing::Contains(testing::StartsWith(
                    "<4>console dropped: uid 0, pid 201: it fell furthest behind, ")));
    EXPECT_THAT(Frames(consoles[0], control::kFarewell),
                testing::ElementsAre(
                    testing::StartsWith("murox: dropped: this console fell furthest behind (")));
    // Each console dropped was slower than each one kept.
    std::vector<bool> dropped;
    for (const int fd : consoles)
        dropped.push_back(!Frames(fd, control::kFarewell).empty());
    EXPECT_TRUE(std::is_sorted(dropped.rbegin(), dropped.rend()))
        << testing::PrintToString(dropped);
    EXPECT_FALSE(dropped.back()) << "the fastest keeps up within the budget";
}

// Answers count against the budget as events do: the turn that queues them drops the console
// furthest behind.
TEST_F(ConsoleBudgetTest, AnswersAreHeldToTheBudgetToo)
{
    const int first = Attach(301, true);
    const int second = Attach(302, true);
    m_runner.answer = std::string(kBudget / 2 + 65536, 'a');
    Send(first, control::kLine, "xdll -l");
    for (int turn = 0; turn < 100 && m_runner.lines.empty(); ++turn)
        m_pServer->Turn(m_runner, 10);
    Read(first, 32768);
    Send(second, control::kLine, "xdll -l");
    for (int turn = 0; turn < 100 && m_runner.lines.size() < 2; ++turn)
        m_pServer->Turn(m_runner, 10);
    EXPECT_THAT(m_log.records, testing::Contains(testing::StartsWith(
                                   "<4>console dropped: uid 0, pid 302: it fell furthest behind")));
}

// Why a line fails: failure events before its answer to its console, plain events to the others.
TEST_F(ConsoleBudgetTest, TheReasonsALineFailsReachItsConsoleAsFailureEvents)
{
    const int running = Attach(601);
    const int watching = Attach(602);
    const int own = Attach(603);
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    Send(own, control::kEvents, control::kOwnEvents);
    m_pServer->Turn(m_runner, 0);
    Send(running, control::kLine, "xdll -a web1 /nowhere");
    const std::string why = "extension library 'web1' not loaded: dlopen failed";
    m_runner.events = {"hello: init", why};
    m_runner.failingFrom = 1;
    m_runner.answer = "why\n";
    m_runner.outcome = TLineOutcome::kFailed;
    m_pServer->Turn(m_runner, 0);
    std::string outside;
    BAnswerStream outsideStream(outside);
    m_runner.RunLine("", outsideStream);
    m_pServer->Turn(m_runner, 0);
    std::vector<std::string> seen;
    for (const control::TFrame& frame : AllFrames(running))
        if (frame.type != control::kHello && frame.type != control::kWords)
            seen.push_back(frame.type + std::string(" ") + frame.payload);
    EXPECT_THAT(seen, testing::ElementsAre("V hello: init", "F " + why, "E why\n", "V hello: init",
                                           "V " + why));
    EXPECT_THAT(Frames(watching, control::kEvent),
                testing::ElementsAre("hello: init", why, "hello: init", why));
    EXPECT_THAT(Frames(watching, control::kFailureEvent), testing::IsEmpty());
    EXPECT_THAT(Frames(own, control::kEvent), testing::IsEmpty());
    EXPECT_THAT(Frames(own, control::kFailureEvent), testing::IsEmpty());
    // An event longer than a frame is cut to one: a console reads no longer frame.
    const std::string longer(control::kMaxFrame + 100, 'v');
    KAF::BMessage event(1);
    event.m_text = KAF::BString(longer.c_str());
    m_pServer->FanOut().Inform(event);
    EXPECT_THAT(Frames(watching, control::kEvent),
                testing::Contains(longer.substr(0, control::kMaxFrame)));
}

// A line too long or holding a line break or zero byte fails unrun; the client's next line runs.
// Who connects and who leaves is logged at info; each line, which may load code as root, at
// notice; a console that broke the protocol is dropped at warning.
TEST_F(ConsoleBudgetTest, ALineIsRefusedForWhatItHoldsAndTheNextOneRuns)
{
    const int fd = Attach(601);
    const std::string breaks = "murox: line refused: it holds a line break or a zero byte\n";
    for (const std::string& line :
         {std::string("xdll\r-u hello"), std::string("xdll\0-u hello", 14),
          std::string("xdll\n-u hello"), std::string("xdll\r"),
          std::string(control::kMaxLine + 1, 'x')}) {
        Send(fd, control::kLine, line);
        Send(fd, control::kLine, "help");
    }
    Send(Attach(602), control::kEvents, "bogus");
    m_runner.answer = "ran\n";
    for (int turn = 0; turn < 1000 && m_runner.lines.size() < 5; ++turn)
        m_pServer->Turn(m_runner, 10);
    EXPECT_EQ(std::vector<std::string>(5, "help"), m_runner.lines);
    EXPECT_THAT(Frames(fd, control::kFailed),
                testing::ElementsAre(breaks, breaks, breaks, breaks,
                                     "murox: line refused: longer than " +
                                         std::to_string(control::kMaxLine) + " bytes\n"));
    EXPECT_EQ(std::vector<std::string>(5, "ran\n"), Frames(fd, control::kAnswer));
    ASSERT_EQ(0, shutdown(fd, SHUT_RDWR));
    for (int turn = 0; turn < 100 && m_log.records.size() < 9; ++turn)
        m_pServer->Turn(m_runner, 10);
    std::vector<std::string> logged(5, "<5>line from uid 0, pid 601: help");
    logged.insert(logged.end(),
                  {"<6>console connected: uid 0, pid 601", "<6>console connected: uid 0, pid 602",
                   "<4>console dropped: uid 0, pid 602: it asked for events of no "
                   "known kind",
                   "<6>console disconnected: uid 0, pid 601"});
    EXPECT_THAT(m_log.records, testing::UnorderedElementsAreArray(logged));
}

// A frame must be whole in time from its first byte, however its bytes trickle in; frames that
// follow each other, the next begun before the last is whole, run on.
TEST_F(ConsoleBudgetTest, AFrameMustBeWholeInTimeFromItsFirstByte)
{
    m_limits.partialFrameMs = 2000;
    m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    syscall_faults::TFrozenClock clock({1000000, 0}, CLOCK_MONOTONIC);
    const int trickling = Attach(701);
    const int streaming = Attach(702);
    const int idle = Attach(703);
    const std::string frame("L\0\0\0\4help", 9);
    for (std::size_t step = 0; step < frame.size(); ++step) {
        (void)!send(trickling, &frame[step], 1, MSG_NOSIGNAL);
        // The rest of a frame and the start of the next.
        const std::string piece = (step == 0 ? "" : frame.substr(4)) + frame.substr(0, 4);
        ASSERT_EQ(static_cast<ssize_t>(piece.size()),
                  send(streaming, piece.data(), piece.size(), MSG_NOSIGNAL));
        m_pServer->Turn(m_runner, 0);
        clock.Advance(500);
    }
    EXPECT_THAT(
        Frames(trickling, control::kFarewell),
        testing::ElementsAre("murox: closed: a frame not whole 2 s after its first byte\n"));
    EXPECT_THAT(Frames(streaming, control::kFarewell), testing::IsEmpty());
    EXPECT_EQ(frame.size() - 1, m_runner.lines.size());
    // Idle past the deadline, then a frame in two pieces, in time from its first byte.
    for (const std::size_t at : {std::size_t(0), std::size_t(4)}) {
        ASSERT_EQ(static_cast<ssize_t>(4 + at / 4),
                  send(idle, &frame[at], 4 + at / 4, MSG_NOSIGNAL));
        m_pServer->Turn(m_runner, 0);
        clock.Advance(500);
    }
    EXPECT_THAT(Frames(idle, control::kFarewell), testing::IsEmpty());
    EXPECT_EQ(frame.size(), m_runner.lines.size());
}

// The limits apply once a console could take what was queued: an idle one gets a long answer whole.
TEST_F(ConsoleBudgetTest, AnIdleConsoleIsSentALongAnswerWhole)
{
    m_limits.maxUnsent = std::size_t{16} * 1024;
    m_limits.stallMs = 50;
    m_limits.totalUnsent = std::size_t{1} << 30;
    m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    // The server's clock moves only as the test says: a loaded machine's pauses between the turns
    // below would otherwise count as stalls.
    syscall_faults::TFrozenClock clock({1000000, 0}, CLOCK_MONOTONIC);
    const int fd = Attach(401, true);
    m_pServer->Turn(m_runner, 0);
    clock.Advance(m_limits.stallMs * 2);
    Send(fd, control::kLine, "xdll -l");
    m_runner.answer.assign(std::size_t{256} * 1024, 'l');
    m_pServer->Turn(m_runner, 0);
    EXPECT_THAT(Frames(fd, control::kFarewell), testing::IsEmpty());
    std::string answer;
    for (const std::string& piece : Frames(fd, control::kAnswer))
        answer += piece;
    EXPECT_EQ(m_runner.answer, answer);
}

} // namespace
