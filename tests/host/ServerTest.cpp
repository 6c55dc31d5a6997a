// The daemon's output: each line's record, the system log's queue, the sink, the consoles' budget.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "host/kaf/BSubscription.h"
#include "host/protocol/ControlProtocol.h"
#include "host/protocol/VisibleText.h"
#include "host/registry/ExtFailures.h"
#include "host/registry/LogPriority.h"
#include "host/server/BAnswerStream.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "host/server/BLinePrefix.h"
#include "host/server/BStdoutCapture.h"
#include "host/server/BStdoutQueue.h"
#include "host/server/BSyslogQueue.h"
#include "host/server/ILogOutput.h"
#include "host/server/JournalStream.h"
#include "host/server/LineAudit.h"
#include "tests/host/TIdleRunner.h"
#include "tests/host/TPriorityRecorder.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/Scratch.h"
#include "tests/support/SystemCallFaults.h"

namespace {

// Whether `text` shows anything but blanks.
bool ShowsSomething(const std::string& text)
{
    return text.find_first_not_of(" \t") != std::string::npos;
}

TEST(LineAuditTest, APaddedLineIsLoggedWithItsCommand)
{
    const std::string line = std::string(1100, ' ') + "xdll -a hidden /x/lib.so" + "\t\t  ";
    const std::vector<std::string> records = LineAuditRecords("uid 0, pid 7", line);
    ASSERT_EQ(1U, records.size());
    EXPECT_EQ("line from uid 0, pid 7: xdll -a hidden /x/lib.so (blanks collapsed)", records[0]);
    EXPECT_THAT(LineAuditRecords("uid 0, pid 7", "xdll  -l\thello"),
                testing::ElementsAre("line from uid 0, pid 7: xdll -l hello (blanks collapsed)"));
    EXPECT_THAT(LineAuditRecords("uid 0, pid 7", "xdll -l hello"),
                testing::ElementsAre("line from uid 0, pid 7: xdll -l hello"));
    EXPECT_THAT(LineAuditRecords("uid 0, pid 7", ""),
                testing::ElementsAre("line from uid 0, pid 7: "));
    // Blanks between the words of a line too long for one record.
    const std::string spread =
        "xdll" + std::string(3000, ' ') + "-u" + std::string(1000, '\t') + "x";
    EXPECT_THAT(LineAuditRecords("uid 0, pid 7", spread),
                testing::ElementsAre("line from uid 0, pid 7: xdll -u x (blanks collapsed)"));
}

TEST(LineAuditTest, ALongLineIsLoggedWholeInPartsCutBetweenCharacters)
{
    // Every kind of character, escaped or not, and a lone backslash, at every offset of a cut.
    const std::string unit = "a\x1b]0;t\x07\xe2\x80\xae\xc3\xa9\xf0\x9f\x98\x80\\q";
    std::string line = "xdll -a ";
    while (line.size() + unit.size() <= control::kMaxLine)
        line += unit;
    const std::string who = "uid 4294967295, pid 2147483647";
    const std::vector<std::string> records = LineAuditRecords(who, line);
    ASSERT_GT(records.size(), 3U);
    const std::string shown = control::VisibleLine(line);
    std::string joined;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string head = "line from " + who + ", part " + std::to_string(i + 1) + " of " +
                                 std::to_string(records.size()) + ": ";
        ASSERT_EQ(head, records[i].substr(0, head.size()));
        EXPECT_LE(records[i].size(), kMaxAuditRecord);
        const std::string piece = records[i].substr(head.size());
        EXPECT_TRUE(ShowsSomething(piece));
        // A piece is text of its own: nothing cut off either end.
        EXPECT_EQ(piece, control::VisibleLine(piece)) << i;
        joined += piece;
        // Nor an escape: "\\", "\\x" or "\\xH" at its end.
        const std::size_t slash = piece.rfind('\\');
        EXPECT_FALSE(slash != std::string::npos && slash + 3 >= piece.size() &&
                     piece.find_first_not_of("x0123456789abcdef", slash + 1) == std::string::npos)
            << piece;
    }
    EXPECT_EQ(shown, joined);
}

// A datagram socket bound where the log listens, in a folder of its own.
class TLogSocket {
public:
    void Bind()
    {
        m_fd = BFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        ASSERT_TRUE(control::SocketAddress(m_path, address));
        ASSERT_EQ(0, bind(m_fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
    }
    void Close()
    {
        m_fd = BFd();
        unlink(m_path.c_str());
    }
    // The text after "murox[PID]: " of every datagram waiting, each of the C library's form.
    std::vector<std::string> Read()
    {
        std::vector<std::string> texts;
        const std::string ident = " murox[" + std::to_string(getpid()) + "]: ";
        char buffer[65536];
        ssize_t n;
        while ((n = recv(m_fd.Get(), buffer, sizeof buffer, 0)) > 0) {
            const std::string datagram(buffer, static_cast<std::size_t>(n));
            // "<PRI>Mmm dd hh:mm:ss": each character of its kind.
            const std::string stamp = "<99>Aaa 99 99:99:99";
            bool formed = datagram.size() > stamp.size() + ident.size() &&
                          datagram.compare(stamp.size(), ident.size(), ident) == 0 &&
                          datagram.back() == '\n' && datagram.find('\n') == datagram.size() - 1;
            for (std::size_t i = 0; formed && i < stamp.size(); ++i) {
                const char c = datagram[i];
                const char kind = stamp[i];
                formed = kind == 'A'   ? std::isupper(static_cast<unsigned char>(c)) != 0
                         : kind == 'a' ? std::islower(static_cast<unsigned char>(c)) != 0
                         : kind == '9' ? std::isdigit(static_cast<unsigned char>(c)) != 0 ||
                                             (i == 8 && c == ' ')
                                       : c == kind;
            }
            EXPECT_TRUE(formed) << datagram;
            texts.push_back(datagram.substr(0, 4) + datagram.substr(stamp.size() + ident.size()));
        }
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
    EXPECT_EQ("<28>Jan 15 03:04:05 murox[" + pid + "]: w\n",
              BSyslogQueue::Datagram("w\n", 1768446245, TLogPriority::kWarning));
    EXPECT_EQ("<29>Jan 15 03:04:05 murox[" + pid + "]: n\n",
              BSyslogQueue::Datagram("n\n", 1768446245, TLogPriority::kNotice));
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

// A log that does not read costs counted records, never a wait; the count follows what was queued.
TEST(SyslogQueueTest, AStalledLogCostsCountedRecordsNeverAWait)
{
    TLogSocket log;
    log.Bind();
    BSyslogQueue queue(log.Path());
    const std::string record(999, 'r');
    std::size_t taken = 0;
    // Past the socket's and the queue's limits; a blocking send would hang the test here.
    const std::size_t count = 3 * BSyslogQueue::kLimit / record.size();
    for (; taken < count; ++taken)
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
    EXPECT_EQ("<28>" + std::to_string(dropped) +
                  " event records dropped: the system log is not being read\n",
              note);
    // What was kept is in order, from the first record on, each at its own
    // priority.
    for (std::size_t i = 0; i < received.size(); ++i)
        EXPECT_EQ(0U, received[i].find("<30>" + record)) << i;
    EXPECT_EQ("<30>" + record + "0\n", received[0]);
    std::size_t last = 0;
    for (const std::string& text : received) {
        const std::size_t number = std::stoul(text.substr(4 + record.size()));
        EXPECT_TRUE(number == 0 || number > last);
        last = number;
    }
    // Told once: the next record comes alone.
    queue.Take("after\n", 6, TLogPriority::kErr);
    EXPECT_THAT(log.Read(), testing::ElementsAre("<27>after\n"));
    EXPECT_EQ(dropped, queue.DroppedRecords()) << "counted since the start, told or not";
}

// With no log, or a restarted one, records are lost and counted until one finds the log again.
TEST(SyslogQueueTest, ALogThatIsGoneIsLookedForAtEachRecord)
{
    TLogSocket log;
    BSyslogQueue queue(log.Path());
    queue.Take("a\n", 2, TLogPriority::kInfo);
    queue.Take("b\n", 2, TLogPriority::kInfo);
    EXPECT_FALSE(queue.Pending()) << "nothing to wait for";
    log.Bind();
    queue.Take("c\n", 2, TLogPriority::kNotice);
    EXPECT_THAT(log.Read(),
                testing::ElementsAre("<29>c\n", "<28>2 event records dropped: the system log is "
                                                "not being read\n"));
    EXPECT_EQ(2U, queue.DroppedRecords());
    // Restarted: the old connection leads nowhere.
    log.Close();
    log.Bind();
    queue.Take("d\n", 2, TLogPriority::kInfo);
    queue.Take("e\n", 2, TLogPriority::kInfo);
    EXPECT_THAT(log.Read(),
                testing::ElementsAre("<30>e\n", "<28>1 event records dropped: the system log is "
                                                "not being read\n"));
    EXPECT_EQ(3U, queue.DroppedRecords());
}

// A record too large for one datagram is lost alone, and counted.
TEST(SyslogQueueTest, ARecordTooLargeForTheLogIsCounted)
{
    TLogSocket log;
    log.Bind();
    BSyslogQueue queue(log.Path());
    const std::string huge(BSyslogQueue::kLimit / 2, 'h');
    queue.Take(huge.data(), huge.size(), TLogPriority::kInfo);
    queue.Take("after\n", 6, TLogPriority::kInfo);
    EXPECT_THAT(log.Read(),
                testing::ElementsAre("<30>after\n", "<28>1 event records dropped: the system "
                                                    "log is not being read\n"));
    EXPECT_EQ(1U, queue.DroppedRecords());
}

// Records the records it is handed, each as "<N>TEXT".
class TRecordingOutput : public ILogOutput {
public:
    void Take(const char* pData, std::size_t size, TLogPriority priority) override
    {
        taken.push_back("<" + std::to_string(static_cast<int>(priority)) + ">" +
                        std::string(pData, size));
    }
    int Fd() const override { return -1; }
    bool Pending() const override { return false; }
    void Drain() override {}
    std::vector<std::string> taken;
};

// The sink's stdout reaches the output a record at a time, visible, on one line each.
TEST(StdoutCaptureTest, TheSinksRecordsArriveWholeAndVisible)
{
    eventlog_test::TInstanceScope scope(nullptr);
    TRecordingOutput output;
    MuroxMsgSubscriber sink;
    {
        BStdoutCapture capture(output);
        ASSERT_TRUE(capture.Install());
        KAF::BMessageDispatcher dispatcher;
        KAF::BMessageDispatcher::s_pInstance = &dispatcher;
        {
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
        KAF::BMessageDispatcher::s_pInstance = nullptr;
    }
    EXPECT_THAT(output.taken,
                testing::ElementsAre(
                    "<6>plain 1\n", "<6>x\\x1b]0;title\\x07\\xe2\\x80\\xae\\x0adaemon stopped\n",
                    "<5>daemon started\n", "<3>outer\n", "<4>inner\n", "<3>outer again\n",
                    "<4>extension library 'x' not loaded: gone\n", "<6>an extension's\n"));
}

// A pipe the test owns, its write end the queue's descriptor.
class TStdoutPipe {
public:
    TStdoutPipe()
    {
        int fds[2];
        EXPECT_EQ(0, pipe2(fds, O_NONBLOCK | O_CLOEXEC));
        m_read = BFd(fds[0]);
        m_write = BFd(fds[1]);
    }
    int WriteEnd() const { return m_write.Get(); }
    // Everything waiting in the pipe.
    std::string Read()
    {
        std::string text;
        char buffer[65536];
        ssize_t n;
        while ((n = read(m_read.Get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    BFd m_read, m_write;
};

// Drains `queue` until it has nothing pending, reading `pipe` between
// turns; what was read.
std::string DrainThrough(BStdoutQueue& queue, TStdoutPipe& pipe)
{
    std::string text;
    for (int turn = 0; turn < 10000 && queue.Pending(); ++turn) {
        queue.Drain();
        text += pipe.Read();
    }
    EXPECT_FALSE(queue.Pending());
    return text + pipe.Read();
}

// For the journal, each record starts with its priority, as sd-daemon(3)
// reads a service's standard output; elsewhere, the sink's lines alone.
TEST(StdoutQueueTest, RecordsCarryTheirPriorityOnlyForTheJournal)
{
    TStdoutPipe journal;
    BStdoutQueue prefixed(true, journal.WriteEnd());
    EXPECT_EQ(journal.WriteEnd(), prefixed.Fd());
    prefixed.Take("daemon started\n", 15, TLogPriority::kNotice);
    prefixed.Take("x: init\n", 8, TLogPriority::kInfo);
    prefixed.Take("not loaded\n", 11, TLogPriority::kWarning);
    prefixed.Take("poll failed\n", 12, TLogPriority::kErr);
    EXPECT_EQ("<5>daemon started\n<6>x: init\n<4>not loaded\n<3>poll failed\n",
              DrainThrough(prefixed, journal));
    TStdoutPipe terminal;
    BStdoutQueue plain(false, terminal.WriteEnd());
    plain.Take("daemon started\n", 15, TLogPriority::kNotice);
    plain.Take("not loaded\n", 11, TLogPriority::kWarning);
    EXPECT_EQ("daemon started\nnot loaded\n", DrainThrough(plain, terminal));
}

// Records that find the queue full are counted; the line that says so
// comes at warning once the queue drained, and the prefix counts toward
// the queue's limit.
TEST(StdoutQueueTest, DroppedRecordsAreToldAtWarning)
{
    TStdoutPipe journal;
    BStdoutQueue queue(true, journal.WriteEnd());
    const std::string record(BStdoutQueue::kLimit / 2 - 3, 'r');
    queue.Take(record.data(), record.size(), TLogPriority::kInfo);
    queue.Take(record.data(), record.size(), TLogPriority::kInfo);
    queue.Take("x\n", 2, TLogPriority::kInfo);
    queue.Take("y\n", 2, TLogPriority::kInfo);
    EXPECT_EQ("<6>" + record + "<6>" + record +
                  "<4>2 event records dropped: standard output is not being read\n",
              DrainThrough(queue, journal));
    TStdoutPipe terminal;
    BStdoutQueue plain(false, terminal.WriteEnd());
    const std::string whole(BStdoutQueue::kLimit, 'w');
    plain.Take(whole.data(), whole.size(), TLogPriority::kInfo);
    plain.Take("z\n", 2, TLogPriority::kInfo);
    EXPECT_EQ(whole + "1 event records dropped: standard output is not being read\n",
              DrainThrough(plain, terminal));
}

// $JOURNAL_STREAM names the journal's stream as "DEVICE:INODE": only the
// descriptor that still is that stream matches.
TEST(JournalStreamTest, OnlyTheNamedStreamIsTheJournal)
{
    TStdoutPipe one, other;
    struct stat status {};
    ASSERT_EQ(0, fstat(one.WriteEnd(), &status));
    const std::string named = std::to_string(static_cast<unsigned long long>(status.st_dev)) + ":" +
                              std::to_string(static_cast<unsigned long long>(status.st_ino));
    EXPECT_TRUE(IsJournalStream(named.c_str(), one.WriteEnd()));
    EXPECT_FALSE(IsJournalStream(named.c_str(), other.WriteEnd()));
    EXPECT_FALSE(IsJournalStream(nullptr, one.WriteEnd()));
    EXPECT_FALSE(IsJournalStream(named.c_str(), -1));
    const std::string device = named.substr(0, named.find(':'));
    const std::string inode = named.substr(named.find(':') + 1);
    for (const std::string& malformed :
         {std::string(), device, device + ":", ":" + inode, device + ":" + inode + "x",
          device + ":" + inode + ":", device + ":-" + inode, "x" + named, named + " "})
        EXPECT_FALSE(IsJournalStream(malformed.c_str(), one.WriteEnd())) << malformed;
}

// Each line written through the stream starts with the prefix, however
// the writes cut it; once removed, the stream is the original again.
TEST(LinePrefixTest, EveryLineStartsWithThePrefix)
{
    TStdoutPipe journal;
    FILE* const pOriginal = stdin; // any stream the test does not write to
    FILE* pStream = pOriginal;
    {
        BLinePrefix prefix(pStream, journal.WriteEnd(), "<4>");
        ASSERT_TRUE(prefix.Install());
        ASSERT_NE(pOriginal, pStream);
        std::fprintf(pStream, "murox: %s\n", "cannot read");
        std::fputs("two\nlines\n", pStream);
        std::fputs("a line in ", pStream);
        std::fputs("pieces", pStream);
        std::fputs("\n\n", pStream);
        std::fputs("%s no format\n", pStream);
        std::fputs("x\ny", pStream);
        std::fputs("z\n", pStream);
    }
    EXPECT_EQ(pOriginal, pStream);
    EXPECT_EQ("<4>murox: cannot read\n<4>two\n<4>lines\n<4>a line in pieces\n<4>\n<4>%s no "
              "format\n<4>x\n<4>yz\n",
              journal.Read());
}

// A descriptor that fails makes the stream fail, as the original would.
TEST(LinePrefixTest, AFailedWriteIsTheStreamsError)
{
    FILE* pStream = stdin;
    BLinePrefix prefix(pStream, -1, "<4>");
    ASSERT_TRUE(prefix.Install());
    EXPECT_EQ(EOF, std::fputs("lost\n", pStream));
    EXPECT_NE(0, std::ferror(pStream));
}

// A server whose clients are socket pairs the test reads as slowly as it likes.
class ConsoleBudgetTest : public testing::Test {
protected:
    static constexpr std::size_t kBudget = std::size_t{256} * 1024;

    ConsoleBudgetTest()
    {
        m_limits.pauseAt = 1024;
        m_limits.maxUnsent = m_limits.hardUnsent = std::size_t{1} << 30;
        m_limits.stallMs = m_limits.partialFrameMs = 1000LL * 3600;
        m_limits.totalUnsent = kBudget;
        KAF::BMessageDispatcher::s_pInstance = &m_dispatcher;
    }
    ~ConsoleBudgetTest() override
    {
        m_pServer.reset();
        KAF::BMessageDispatcher::s_pInstance = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(TClaimResult::kClaimed,
                  m_socket.Claim(m_dir.Path() + "/c.ctl", getegid()).outcome);
        m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    }
    // A client with pid `pid`, its end returned; `small` buffers keep what is unread in the server.
    int Attach(pid_t pid, bool small = true)
    {
        auto pair = testsupport::SocketPair(small);
        EXPECT_TRUE(pair.second.Valid());
        TPeer peer;
        peer.pid = pid;
        m_pServer->Attach(std::move(pair.first), peer);
        m_peers.push_back(std::move(pair.second));
        return m_peers.back().Get();
    }
    // Reads at most `most` bytes at `fd` into `m_read`; false once the server closed its end.
    bool Read(int fd, std::size_t most)
    {
        char buffer[65536];
        while (most > 0) {
            const ssize_t n = recv(fd, buffer, most < sizeof buffer ? most : sizeof buffer, 0);
            if (n == 0)
                return false;
            if (n < 0)
                return true;
            m_read[fd].append(buffer, static_cast<std::size_t>(n));
            most -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // The payloads of type `type` sent to `fd`, read until it is closed or sent nothing more.
    std::vector<std::string> Frames(int fd, char type)
    {
        for (int quiet = 0; quiet < 3;) {
            const std::size_t before = m_read[fd].size();
            if (!Read(fd, std::size_t{1} << 30))
                break;
            quiet = m_read[fd].size() == before ? quiet + 1 : 0;
            m_pServer->Turn(m_runner, 0);
        }
        control::BFrameReader reader = control::BFrameReader::FromDaemon();
        reader.Append(m_read[fd].data(), m_read[fd].size());
        std::vector<std::string> payloads;
        control::TFrame frame;
        while (reader.Next(frame) == control::BFrameReader::kFrame)
            if (frame.type == type)
                payloads.push_back(frame.payload);
        return payloads;
    }
    void Publish(int events)
    {
        const std::string text(1000, 'e');
        for (int i = 0; i < events; ++i)
            MuroxLogEvent("%s", text.c_str());
    }

    const testsupport::TScratchDir m_dir;
    TClientLimits m_limits;
    KAF::BMessageDispatcher m_dispatcher;
    BControlSocket m_socket;
    std::unique_ptr<BControlServer> m_pServer;
    std::vector<BFd> m_peers;
    std::map<int, std::string> m_read;
    TIdleRunner m_runner;
};

// Past the budget, only the console that stopped reading is dropped, told and logged by name.
TEST_F(ConsoleBudgetTest, TheConsoleFurthestBehindIsDroppedPastTheBudget)
{
    std::vector<std::string> log;
    eventlog_test::TRecorder recorder(&log);
    const KAF::BSubscription toLog(m_dispatcher, recorder);
    const int stalled = Attach(101);
    const std::vector<int> reading = {Attach(102, false), Attach(103, false), Attach(104, false)};
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    for (int turn = 0; turn < 60; ++turn) {
        Publish(10);
        m_pServer->Turn(m_runner, 0);
        EXPECT_LE(m_pServer->TotalHeld(), kBudget) << turn;
        for (const int fd : reading)
            Read(fd, std::size_t{1} << 30);
    }
    EXPECT_THAT(log, testing::Contains(testing::StartsWith(
                         "console dropped: uid 0, pid 101: it fell furthest behind, ")));
    EXPECT_EQ(1, std::count_if(log.begin(), log.end(), [](const std::string& record) {
                  return record.rfind("console dropped: ", 0) == 0;
              }));
    const std::vector<std::string> farewells = Frames(stalled, control::kFarewell);
    ASSERT_EQ(1U, farewells.size());
    EXPECT_THAT(farewells[0], testing::StartsWith("murox: dropped: this console fell furthest "
                                                  "behind ("));
    for (const int fd : reading) {
        EXPECT_THAT(Frames(fd, control::kFarewell), testing::IsEmpty());
        EXPECT_THAT(Frames(fd, control::kEvent),
                    testing::Contains(std::string(1000, 'e')).Times(600));
    }
}

// Consoles each within their limits but over the budget together: the slowest go first, no more.
TEST_F(ConsoleBudgetTest, SlowConsolesTogetherStayWithinTheBudget)
{
    std::vector<std::string> log;
    eventlog_test::TRecorder recorder(&log);
    const KAF::BSubscription toLog(m_dispatcher, recorder);
    std::vector<int> consoles;
    for (pid_t pid = 201; pid <= 206; ++pid)
        consoles.push_back(Attach(pid));
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    for (int turn = 0; turn < 80; ++turn) {
        Publish(8);
        m_pServer->Turn(m_runner, 0);
        ASSERT_LE(m_pServer->TotalHeld(), kBudget) << turn;
        // From 1.5 KiB to 9 KiB a turn: all but the last take less than comes.
        for (std::size_t i = 0; i < consoles.size(); ++i)
            Read(consoles[i], (i + 1) * 1536);
    }
    std::vector<std::string> dropped;
    for (const std::string& record : log)
        if (record.rfind("console dropped: ", 0) == 0)
            dropped.push_back(record.substr(0, record.find(": it fell furthest behind, ")));
    ASSERT_GE(dropped.size(), 1U);
    EXPECT_EQ("console dropped: uid 0, pid 201", dropped[0]);
    if (dropped.size() > 1) {
        EXPECT_EQ("console dropped: uid 0, pid 202", dropped[1]);
    }
    EXPECT_LT(dropped.size(), consoles.size()) << "the fastest keeps up within the budget";
}

// A running line's events are held to the budget as they are queued, not once the line is over.
TEST_F(ConsoleBudgetTest, ALinesEventsAreHeldToTheBudgetAsTheyAreQueued)
{
    std::vector<int> consoles;
    for (pid_t pid = 401; pid <= 404; ++pid)
        consoles.push_back(Attach(pid));
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    // About 150 KiB for each: more than the budget for all four.
    for (int i = 0; i < 150; ++i) {
        Publish(1);
        ASSERT_LE(m_pServer->TotalHeld(), kBudget) << i;
    }
    m_pServer->Turn(m_runner, 0);
    // All equally far behind: those dropped first make room for the rest.
    int kept = 0;
    for (const int fd : consoles)
        kept += Frames(fd, control::kFarewell).empty() ? 1 : 0;
    EXPECT_GE(kept, 1);
    EXPECT_LT(kept, 4);
}

// Within the budget, nobody is dropped, however far behind.
TEST_F(ConsoleBudgetTest, ConsolesWithinTheBudgetStay)
{
    std::vector<std::string> log;
    eventlog_test::TRecorder recorder(&log);
    const KAF::BSubscription toLog(m_dispatcher, recorder);
    const int a = Attach(301);
    const int b = Attach(302);
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    // Each holds about 100 KiB unread; both together stay under 256 KiB.
    Publish(100);
    m_pServer->Turn(m_runner, 0);
    EXPECT_GT(m_pServer->TotalUnsent(), kBudget / 2);
    EXPECT_THAT(log, testing::Not(testing::Contains(testing::StartsWith("console dropped"))));
    EXPECT_THAT(Frames(a, control::kFarewell), testing::IsEmpty());
    EXPECT_THAT(Frames(b, control::kFarewell), testing::IsEmpty());
}

// Who connects and who leaves is routine, at info; each line, which may
// load code as root, at notice; a console that broke the protocol is
// dropped at warning.
TEST_F(ConsoleBudgetTest, ConsolesRecordsCarryTheirPriorities)
{
    TPriorityRecorder recorder;
    const KAF::BSubscription toLog(m_dispatcher, recorder);
    const int running = Attach(601, false);
    const int breaking = Attach(602, false);
    std::string frames;
    control::AppendFrame(frames, control::kLine, "xdll");
    ASSERT_EQ(static_cast<ssize_t>(frames.size()), send(running, frames.data(), frames.size(), 0));
    frames.clear();
    control::AppendFrame(frames, control::kEvents, "bogus");
    ASSERT_EQ(static_cast<ssize_t>(frames.size()), send(breaking, frames.data(), frames.size(), 0));
    m_pServer->Turn(m_runner, 0);
    ASSERT_THAT(Frames(running, control::kAnswer), testing::SizeIs(1));
    ASSERT_EQ(0, shutdown(running, SHUT_RDWR));
    for (int turn = 0; turn < 100 && recorder.records.size() < 5; ++turn)
        m_pServer->Turn(m_runner, 10);
    EXPECT_THAT(recorder.records,
                testing::UnorderedElementsAre(
                    "<6>console connected: uid 0, pid 601", "<6>console connected: uid 0, pid 602",
                    "<5>line from uid 0, pid 601: xdll",
                    "<4>console dropped: uid 0, pid 602: it asked for events of no known kind",
                    "<6>console disconnected: uid 0, pid 601"));
}

// An event longer than a frame is cut to one: a console reads no longer frame.
TEST_F(ConsoleBudgetTest, AnEventLongerThanAFrameIsCutToOne)
{
    const int fd = Attach(501, false);
    const std::string text(control::kMaxFrame + 100, 'v');
    KAF::BMessage event(1);
    event.m_text = KAF::BString(text.c_str());
    m_pServer->FanOut().Inform(event);
    EXPECT_THAT(Frames(fd, control::kEvent),
                testing::ElementsAre(text.substr(0, control::kMaxFrame)));
}

// Publishes an event of what it did, then one of why it failed, and fails.
class TFailingRunner : public TIdleRunner {
public:
    TLineOutcome RunLine(const std::string&, KAF::ICmdStream& out) override
    {
        MuroxLogEvent("hello: init");
        m_failing = true;
        MuroxLogEvent("extension library 'web1' not loaded: dlopen failed");
        m_failing = false;
        out.Write(KAF::BString("why\n"));
        return TLineOutcome::kFailed;
    }
    bool PublishingFailure() const override { return m_failing; }

private:
    bool m_failing = false;
};

// Why a line fails: failure events before its answer to its console, plain events to the others.
TEST_F(ConsoleBudgetTest, TheReasonsALineFailsReachItsConsoleAsFailureEvents)
{
    const int running = Attach(601, false);
    const int watching = Attach(602, false);
    const int own = Attach(603, false);
    const KAF::BSubscription toConsoles(m_dispatcher, m_pServer->FanOut());
    std::string frames;
    control::AppendFrame(frames, control::kEvents, control::kOwnEvents);
    ASSERT_EQ(static_cast<ssize_t>(frames.size()), send(own, frames.data(), frames.size(), 0));
    m_pServer->Turn(m_runner, 0);
    frames.clear();
    control::AppendFrame(frames, control::kLine, "xdll -a web1 /nowhere");
    ASSERT_EQ(static_cast<ssize_t>(frames.size()), send(running, frames.data(), frames.size(), 0));
    TFailingRunner failing;
    m_pServer->Turn(failing, 0);
    std::string outside;
    BAnswerStream outsideStream(outside);
    failing.RunLine("", outsideStream);
    m_pServer->Turn(m_runner, 0);
    const std::string why = "extension library 'web1' not loaded: dlopen failed";
    std::vector<std::string> seen;
    control::BFrameReader reader = control::BFrameReader::FromDaemon();
    Frames(running, control::kEvent);
    reader.Append(m_read[running].data(), m_read[running].size());
    control::TFrame frame;
    while (reader.Next(frame) == control::BFrameReader::kFrame)
        if (frame.type != control::kHello && frame.type != control::kWords)
            seen.push_back(frame.type + std::string(" ") + frame.payload);
    EXPECT_THAT(seen, testing::ElementsAre("V hello: init", "F " + why, "E why\n", "V hello: init",
                                           "V " + why));
    EXPECT_THAT(Frames(watching, control::kEvent),
                testing::ElementsAre("hello: init", why, "hello: init", why));
    EXPECT_THAT(Frames(watching, control::kFailureEvent), testing::IsEmpty());
    EXPECT_THAT(Frames(own, control::kEvent), testing::IsEmpty());
    EXPECT_THAT(Frames(own, control::kFailureEvent), testing::IsEmpty());
}

// Notes each line it runs, and answers it.
class TNotingRunner : public TIdleRunner {
public:
    TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) override
    {
        m_lines.push_back(line);
        out.Write(KAF::BString("ran\n"));
        return TLineOutcome::kSucceeded;
    }
    std::vector<std::string> m_lines;
};

// A line too long or holding a line break or zero byte fails unrun; the client's next line runs.
TEST_F(ConsoleBudgetTest, ALineIsRefusedForWhatItHoldsAndTheNextOneRuns)
{
    const int fd = Attach(601, false);
    const std::string breaks = "murox: line refused: it holds a line break or a zero byte\n";
    const std::string refused[] = {"xdll\r-u hello", std::string("xdll\0-u hello", 14),
                                   "xdll\n-u hello", "xdll\r",
                                   std::string(control::kMaxLine + 1, 'x')};
    std::string frames;
    for (const std::string& line : refused) {
        control::AppendFrame(frames, control::kLine, line);
        control::AppendFrame(frames, control::kLine, "help");
    }
    ASSERT_EQ(static_cast<ssize_t>(frames.size()), send(fd, frames.data(), frames.size(), 0));
    TNotingRunner runner;
    for (int turn = 0; turn < 1000 && runner.m_lines.size() < 5; ++turn)
        m_pServer->Turn(runner, 10);
    EXPECT_EQ(std::vector<std::string>(5, "help"), runner.m_lines);
    EXPECT_THAT(Frames(fd, control::kFailed),
                testing::ElementsAre(breaks, breaks, breaks, breaks,
                                     "murox: line refused: longer than " +
                                         std::to_string(control::kMaxLine) + " bytes\n"));
    EXPECT_EQ(std::vector<std::string>(5, "ran\n"), Frames(fd, control::kAnswer));
}

// Writes a long answer to every line.
class TListingRunner : public TIdleRunner {
public:
    static constexpr std::size_t kAnswerBytes = std::size_t{256} * 1024;
    TLineOutcome RunLine(const std::string&, KAF::ICmdStream& out) override
    {
        out.Write(KAF::BString(std::string(kAnswerBytes, 'l').c_str()));
        return TLineOutcome::kSucceeded;
    }
};

class ClientLimitsTest : public ConsoleBudgetTest {
protected:
    ClientLimitsTest()
    {
        m_limits.maxUnsent = std::size_t{16} * 1024;
        m_limits.stallMs = 50;
        m_limits.totalUnsent = std::size_t{1} << 30;
    }
};

// The limits apply once a console could take what was queued: an idle one gets a long answer whole.
TEST_F(ClientLimitsTest, AnIdleConsoleIsSentALongAnswerWhole)
{
    // The server's clock moves only as the test says: a loaded machine's
    // pauses between the turns below would otherwise count as stalls.
    syscall_faults::TFrozenClock clock({1000000, 0}, CLOCK_MONOTONIC);
    const int fd = Attach(401);
    m_pServer->Turn(m_runner, 0);
    clock.Advance(m_limits.stallMs * 2);
    std::string line;
    control::AppendFrame(line, control::kLine, "xdll -l");
    ASSERT_EQ(static_cast<ssize_t>(line.size()), send(fd, line.data(), line.size(), 0));
    TListingRunner listing;
    m_pServer->Turn(listing, 0);
    EXPECT_THAT(Frames(fd, control::kFarewell), testing::IsEmpty());
    std::string answer;
    for (const std::string& piece : Frames(fd, control::kAnswer))
        answer += piece;
    EXPECT_EQ(std::string(TListingRunner::kAnswerBytes, 'l'), answer);
}

} // namespace
