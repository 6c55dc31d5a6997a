// A console against a daemon played by a thread: keys and Ctrl-C come before frames already
// received, a lost daemon is waited for, one that misbehaves is given up after the console's
// patience, and a refusal of the console's credentials is told from other ends, for scripts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BConsoleSession.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/DaemonWait.h"
#include "host/console/IConsoleOutput.h"
#include "host/console/RemoteConsole.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/Scratch.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using std::chrono::milliseconds;
using testing::ElementsAre;
using testing::EndsWith;

// Events waiting: more than the console takes in one read, so that its socket stays readable too.
const int kHeap = 2000;
// The console's patience where a test waits it out; the played daemon's, which only a fault
// makes it wait out.
constexpr milliseconds kPatience(300);
constexpr milliseconds kTestPatience(3000);

std::string Frame(char type, const std::string& payload)
{
    std::string frame;
    control::AppendFrame(frame, type, payload);
    return frame;
}

std::string Greeting(const std::string& pidAndVersion = "1 1.0")
{
    return Frame(control::kHello, std::string(control::kGreeting) + " " + pidAndVersion);
}

std::string Events()
{
    std::string events;
    for (int i = 0; i < kHeap; ++i)
        events += Frame(control::kEvent, "event " + std::to_string(i));
    return events;
}

const std::string kRefusal =
    Frame(control::kFarewell, std::string(control::kAccessRefused) + "uid 7 is not root\n");
// A script's choice of events, agreed; a farewell.
const std::string kOwn = Frame(control::kEvents, control::kOwnEvents);
const std::string kStopped = Frame(control::kFarewell, "murox: the daemon has stopped\n");

// What the played daemon does with a console after it took `take` lines: stays on, goes,
// stays and answers each line "ran LINE" (after sending `then` when busy, after twice the
// console's patience when slow), or stays after pressing Ctrl-C as it took the console. The
// last four greet and go: mute, it takes the console only after the test's patience (full, its
// backlog full meanwhile); deaf, it reads nothing for as long; it shuts its reading first.
enum TManner { kStays, kLeaves, kAnswers, kBusy, kInterrupts, kSlow, kMute, kFull, kDeaf, kShuts };

// One console taken by the played daemon: sent `hello`, then `then` in place of the answer to
// line `take`.
struct TVisit {
    std::string hello;
    int take;
    std::string then;
    TManner manner;
};

// The next line `fd` sends (other frames passed over), in `line`; false once it closed.
bool NextLine(int fd, std::string& line)
{
    char header[control::kHeaderSize];
    do {
        line.clear();
        if (recv(fd, header, sizeof header, MSG_WAITALL) != sizeof header)
            return false;
        line.resize(control::PayloadLength(header));
        if (!line.empty() && recv(fd, &line[0], line.size(), MSG_WAITALL) != ssize_t(line.size()))
            return false;
    } while (header[0] != control::kLine);
    return true;
}

void Send(const BFd& peer, const std::string& bytes)
{
    (void)!send(peer.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); // the console may be gone
}

std::string Contents(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a console wrote, through a pipe.
class BWatchedOutput : public IConsoleOutput {
public:
    // Ctrl-C (or `press`) is pressed the first time either stream is sent `pressAt`.
    void Arm(
        const std::string& pressAt, const std::function<void()>& press = [] { raise(SIGINT); })
    {
        m_pressAt = pressAt;
        m_press = press;
    }
    bool Terminal(TStream) const override { return false; }
    void Write(TStream stream, const std::string& bytes) override
    {
        written[stream] += bytes;
        if (m_press && bytes.find(m_pressAt) != std::string::npos)
            std::exchange(m_press, nullptr)();
    }
    int OutError() override { return 0; }

    std::string written[2];

private:
    std::string m_pressAt;
    std::function<void()> m_press;
};

// A daemon played by a thread at a socket in a fresh directory; the console's input a pipe or
// terminal, its output files.
class ConsoleSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_listener = testsupport::ListenAt(m_path, 1);
        ASSERT_TRUE(m_listener.Valid());
        for (int fd = 0; fd < 3; ++fd)
            m_saved[fd] = dup(fd);
    }
    void TearDown() override
    {
        Finish();
        Restore();
        for (const int fd : m_saved)
            close(fd);
    }

    // Takes a console for each of `visits` in turn, then turns away (counts) every other one.
    void Play(const std::vector<TVisit>& visits)
    {
        m_daemon = std::thread([this, visits] {
            for (std::size_t i = 0; i < visits.size(); ++i)
                Visit(i, visits[i]);
            while (Accept().Valid())
                ++m_turnedAway;
        });
    }
    // Ends the daemon once it took the consoles already waiting.
    void Finish()
    {
        m_stop = true;
        if (m_daemon.joinable())
            m_daemon.join();
    }

    // What the operator typed, through a terminal where Ctrl-C is to be heard, or a pipe; then
    // the end.
    void Type(const std::string& typed, bool terminal, bool end = true)
    {
        int fds[2];
        if (terminal) {
            fds[1] = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_LE(0, fds[1]);
            ASSERT_EQ(0, grantpt(fds[1]));
            ASSERT_EQ(0, unlockpt(fds[1]));
            fds[0] = open(ptsname(fds[1]), O_RDWR | O_NOCTTY);
            ASSERT_LE(0, fds[0]);
        } else {
            ASSERT_EQ(0, pipe(fds));
        }
        ASSERT_EQ(static_cast<ssize_t>(typed.size()), write(fds[1], typed.data(), typed.size()));
        if (terminal && end) {
            ASSERT_EQ(1, write(fds[1], "\x04", 1)); // Ctrl-D: the end
        }
        m_typist.Reset(fds[1]);
        if (!terminal && end)
            m_typist.Reset();
        dup2(fds[0], 0);
        close(fds[0]);
        std::fflush(stdout);
        for (int fd = 1; fd < 3; ++fd) {
            const BFd file(open((m_dir.Path() + "/" + std::to_string(fd)).c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC, 0600));
            dup2(file.Get(), fd);
        }
    }
    void Restore()
    {
        std::fflush(stdout);
        for (int fd = 0; fd < 3; ++fd)
            dup2(m_saved[fd], fd);
    }
    // Runs `console` to its end, then the daemon's: the console's status; what it wrote to its
    // standard output and error in m_shown and m_said, the test's stdio back.
    int Run(const std::function<int()>& console)
    {
        alarm(15); // a console that hangs fails the test
        const int status = console();
        alarm(0);
        Restore();
        m_shown = Contents(m_dir.Path() + "/1");
        m_said = Contents(m_dir.Path() + "/2");
        Finish();
        return status;
    }
    // A session with `patience`, `connected` called once greeted.
    int Run(
        const TReconnectPolicy& policy = TReconnectPolicy(),
        const std::function<void(BDaemonConnection&)>& connected = [](BDaemonConnection&) {},
        milliseconds patience = BDaemonConnection::kPatience)
    {
        BDaemonConnection connection(patience);
        std::string error;
        if (!connection.Connect(m_path, error))
            throw std::runtime_error(error); // the daemon's thread would wait on
        connected(connection);
        return Run([&] {
            BConsoleScreen screen(m_output);
            const int status = BConsoleSession(connection, screen, policy).Run();
            shutdown(connection.Fd(), SHUT_RDWR);
            return status;
        });
    }
    // Waits on the test's clock, which pauses without waiting: each pause noted.
    TReconnectPolicy Reconnecting(int giveUpMs, int longestDelayMs = 200)
    {
        TReconnectPolicy policy{true, 10, longestDelayMs, giveUpMs};
        policy.now = [this] { return BDaemonConnection::TClock::time_point() + m_paused; };
        // More pauses than any test's wait makes end it as Ctrl-C would.
        policy.pause = [this](const TInterrupts&, long long ms) {
            m_pauses.push_back(ms);
            m_paused += milliseconds(ms);
            return m_pauses.size() > 100;
        };
        return policy;
    }
    // Fills the daemon's backlog with connections it never takes.
    void FillBacklog()
    {
        sockaddr_un address{};
        ASSERT_TRUE(control::SocketAddress(m_path, address) && listen(m_listener.Get(), 0) == 0);
        do
            m_fillers.emplace_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        while (connect(m_fillers.back().Get(), reinterpret_cast<const sockaddr*>(&address),
                       sizeof address) == 0);
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/control";
    BWatchedOutput m_output;
    // What it wrote to standard output, or error.
    const std::string& m_out = m_output.written[IConsoleOutput::kOut];
    const std::string& m_err = m_output.written[IConsoleOutput::kErr];
    std::string m_shown; // on the terminal
    std::string m_said;
    std::vector<std::string> m_lines; // "N: LINE", taken by the Nth visit
    int m_turnedAway = 0;
    std::vector<long long> m_pauses;
    milliseconds m_paused{0};
    BFd m_listener;
    std::vector<BFd> m_fillers;
    BFd m_typist;
    int m_saved[3] = {-1, -1, -1};

private:
    // The next console, or none once the daemon is to end and none is waiting. One that says
    // nothing for the test's patience is left.
    BFd Accept()
    {
        for (pollfd waiting = {m_listener.Get(), POLLIN, 0};;) {
            const bool stop = m_stop;
            if (poll(&waiting, 1, stop ? 0 : 20) > 0) {
                BFd peer(accept(m_listener.Get(), nullptr, nullptr));
                const timeval patience = {static_cast<time_t>(kTestPatience.count() / 1000), 0};
                setsockopt(peer.Get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
                return peer;
            }
            if (stop)
                return BFd();
        }
    }
    // Waits `wait`, or until the test ends: whether it waited so long.
    bool Idle(milliseconds wait)
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (!m_stop && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
        return !m_stop;
    }
    void Visit(std::size_t index, const TVisit& visit)
    {
        if ((visit.manner == kMute || visit.manner == kFull) && !Idle(kTestPatience))
            return;
        const BFd peer = Accept();
        if (visit.manner == kInterrupts)
            kill(getpid(), SIGINT);
        if (visit.manner == kShuts)
            shutdown(peer.Get(), SHUT_RD);
        Send(peer, visit.hello);
        if (visit.manner == kDeaf)
            Idle(kTestPatience);
        if (visit.manner >= kMute || (visit.manner == kLeaves && visit.take == 0))
            return;
        int taken = 0;
        for (std::string line; peer.Valid() && NextLine(peer.Get(), line);) {
            m_lines.push_back(std::to_string(index) + ": " + line);
            if (visit.manner == kBusy)
                Send(peer, visit.then);
            if (++taken == visit.take) {
                Send(peer, visit.then);
                if (visit.manner == kLeaves)
                    return;
            } else if (visit.manner == kAnswers || visit.manner == kBusy || visit.manner == kSlow) {
                if (visit.manner == kSlow)
                    Idle(2 * kPatience);
                Send(peer, Frame(control::kAnswer, "ran " + line + "\n"));
            }
        }
    }

    std::thread m_daemon;
    std::atomic<bool> m_stop{false};
};

TEST_F(ConsoleSessionTest, ATypedLineIsTakenBeforeTheFramesWaiting)
{
    Type("quit\n", false);
    Play({{Greeting() + Events(), 0, "", kStays}});
    EXPECT_EQ(0, Run(TReconnectPolicy(), [](BDaemonConnection& connection) {
                  EXPECT_TRUE(connection.HasFrame()) << "the events came apart from the greeting";
              }));
    EXPECT_EQ(std::string::npos, m_shown.find("event "))
        << "events shown before the typed \"quit\"";
}

// Why a line failed, arriving while the operator's prompt is shown, goes below it and the
// prompt is drawn again; then the operator's Ctrl-D ends the console.
TEST_F(ConsoleSessionTest, AFailureUnderThePromptDrawsThePromptAgain)
{
    Type("", true, false);
    const std::string failure = "extension library 'web1' not loaded";
    Play({{Greeting() + Frame(control::kFailureEvent, failure), 0, "", kStays}});
    m_output.Arm(failure, [this] { EXPECT_EQ(1, write(m_typist.Get(), "\x04", 1)); });
    EXPECT_EQ(0, Run());
    EXPECT_EQ(failure + "\n", m_err);
    EXPECT_EQ("murox> murox> \n", m_shown);
}

// Ctrl-C as the first answer shows: the second answer, waiting behind many events, is abandoned.
TEST_F(ConsoleSessionTest, CtrlCIsTakenBeforeTheFramesWaiting)
{
    Type("first\nsecond\n", true);
    Play(
        {{Greeting(), 1,
          Frame(control::kAnswer, "one\n") + Events() + Frame(control::kAnswer, "two\n"), kStays}});
    m_output.Arm("one");
    EXPECT_EQ(0, Run()) << "the abandoned answer, when it came, was taken for an answer to no line";
    EXPECT_EQ(0u, m_out.find("one\n")) << m_out;
    EXPECT_EQ(std::string::npos, m_out.find("two")) << "the abandoned answer was shown";
    EXPECT_EQ("murox: answer abandoned; the daemon still runs the line\n", m_err) << m_shown;
}

// The answer to a line abandoned by Ctrl-C, when it comes, is dropped: it is not taken for the
// answer of the line typed next.
TEST_F(ConsoleSessionTest, AnAbandonedAnswerIsNotTakenForTheNextLines)
{
    Type("first\n", true, false);
    Play({{Greeting(), 0, Frame(control::kFailureEvent, "busy"), kBusy}});
    m_output.Arm("busy", [this] {
        raise(SIGINT);
        EXPECT_EQ(9, write(m_typist.Get(), "second\n\x04", 9));
    });
    EXPECT_EQ(0, Run());
    EXPECT_THAT(m_lines, ElementsAre("0: first", "0: second"));
    EXPECT_EQ(std::string::npos, m_out.find("ran first")) << m_out;
    EXPECT_THAT(m_out, EndsWith("ran second\n"));
    EXPECT_EQ("busy\nmurox: answer abandoned; the daemon still runs the line\nbusy\n", m_err);
}

// An answer abandoned by Ctrl-C never comes once its daemon is gone: the next daemon's answer to
// the line typed next is that line's.
TEST_F(ConsoleSessionTest, AnAnswerAbandonedWithItsDaemonIsWaitedForNoLonger)
{
    Type("first\n", true, false);
    Play({{Greeting(), 1, Frame(control::kFailureEvent, "busy"), kLeaves},
          {Greeting("2 2.0"), 1, Frame(control::kAnswer, "ran second\n"), kLeaves}});
    m_output.Arm("busy", [this] {
        m_output.Arm("pid 2,", [this] { EXPECT_EQ(7, write(m_typist.Get(), "second\n", 7)); });
        raise(SIGINT);
    });
    Run(Reconnecting(300));
    EXPECT_THAT(m_lines, ElementsAre("0: first", "1: second"));
    EXPECT_THAT(m_out, EndsWith("ran second\n"));
}

// A lost daemon is waited for. A line typed while none was there goes to the next; the next is
// sent the line typed ahead, never the one in flight, which is said to be lost.
TEST_F(ConsoleSessionTest, AnOperatorsConsoleWaitsForTheNextDaemon)
{
    Type("one\ntwo\n", true);
    // Part of a frame, which the next connection must not read on from.
    const std::string part = Frame(control::kEvent, "cut short").substr(0, 8);
    Play({{Greeting(), 0, "", kLeaves},
          {Greeting(), 1, part, kLeaves},
          {Greeting("2 2.0"), 0, "", kAnswers}});
    EXPECT_EQ(0, Run(Reconnecting(10000), [](BDaemonConnection& connection) {
                  char byte = 0; // the first daemon is gone before the console starts
                  EXPECT_EQ(0, recv(connection.Fd(), &byte, 1, MSG_PEEK));
              }));
    EXPECT_THAT(m_lines, ElementsAre("1: one", "2: two"));
    const std::string connected = "murox: connected to the daemon at " + m_path + ", pid ";
    EXPECT_EQ(connected + "1, version 1.0\n" + connected + "2, version 2.0\nran two\n", m_out);
    const std::string closed = "murox: the daemon at " + m_path + " closed the connection\n";
    const std::string waiting = "murox: waiting for the daemon to come back (Ctrl-C gives up)\n";
    EXPECT_EQ(closed + waiting + closed +
                  "murox: the answer to the line sent is lost; the daemon may have run it\n" +
                  waiting,
              m_err);
}

// The next daemon is judged as the first: one that refuses ends the console with 4, sent nothing.
TEST_F(ConsoleSessionTest, ARefusalByTheNextDaemonEndsTheConsoleWithFour)
{
    Type("one\ntwo\n", true);
    Play({{Greeting(), 1, "", kLeaves}, {kRefusal, 0, "", kStays}});
    EXPECT_EQ(4, Run(Reconnecting(10000)));
    EXPECT_THAT(m_lines, ElementsAre("0: one"));
    EXPECT_THAT(m_err, EndsWith("murox: access refused: uid 7 is not root\n"));
}

// One of another user that comes back in the daemon's place ends the console with 4 at once,
// however long the console would wait. Needs root, to serve as another.
TEST_F(ConsoleSessionTest, AnUntrustedNextDaemonEndsTheConsoleWithFour)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to serve as another user";
    Type("one\ntwo\n", true);
    // Listening as nobody: the kernel names the listener's user.
    const std::string elsewhere = m_dir.Path() + "/stranger";
    const BFd stranger = testsupport::ListenAt(elsewhere);
    ASSERT_EQ(0, seteuid(65534));
    const int listening = listen(stranger.Get(), 8);
    ASSERT_EQ(0, seteuid(0));
    ASSERT_EQ(0, listening);
    Play({{Greeting(), 1, "", kLeaves}});
    const int status = Run(Reconnecting(3000), [&](BDaemonConnection&) {
        EXPECT_EQ(0, rename(elsewhere.c_str(), m_path.c_str()));
    });
    EXPECT_EQ(4, status) << m_err;
    EXPECT_THAT(m_err, testing::HasSubstr("not trusted"));
}

// Ctrl-C gives up waiting for the daemon at once, with status 1: it is heard while a daemon that
// took the console says nothing, well before that wait ends (and long before the console would
// give up).
TEST_F(ConsoleSessionTest, CtrlCGivesUpWaitingForTheDaemon)
{
    Type("one\n", true, false);
    Play({{Greeting(), 1, "", kLeaves}, {"", 0, "", kInterrupts}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, Run(Reconnecting(30000)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, BDaemonConnection::kPatience);
    EXPECT_THAT(m_err, EndsWith("murox: gave up waiting for the daemon\n"));
}

// The pauses between attempts double up to the longest, until the patience ends: status 1. In 3 s,
// 10, 20, 40, 80 then 100 ms pauses, the last cut short: an attempt after each.
TEST_F(ConsoleSessionTest, TheWaitForTheDaemonIsBoundedAndBacksOff)
{
    Type("one\n", true, false);
    Play({{Greeting(), 1, "", kLeaves}}); // then the attempts are turned away
    EXPECT_EQ(1, Run(Reconnecting(3000, 100)));
    EXPECT_THAT(m_err, EndsWith("murox: the daemon did not come back within 3 seconds\n"));
    std::vector<long long> pauses = {10, 20, 40, 80};
    pauses.insert(pauses.end(), 28, 100);
    pauses.push_back(50);
    EXPECT_EQ(pauses, m_pauses);
    EXPECT_EQ(33, m_turnedAway);
}

// A daemon that comes back and never greets is given up after the console's patience, attempt
// after attempt, until the wait for the daemon ends.
TEST_F(ConsoleSessionTest, ADaemonBackThatNeverGreetsIsGivenUp)
{
    Type("one\n", true, false);
    Play({{Greeting(), 1, "", kLeaves}, {Greeting("2 2.0"), 0, "", kMute}});
    EXPECT_EQ(1, Run(
                     Reconnecting(30), [](BDaemonConnection&) {}, kPatience));
    EXPECT_THAT(m_err, EndsWith("murox: the daemon did not come back within 0.03 seconds\n"));
    EXPECT_EQ(std::string::npos, m_out.find("pid 2,")) << "a greeting was waited for too long";
}

// A script's console ends with its daemon, status 1, and tries no other.
TEST_F(ConsoleSessionTest, AScriptsConsoleEndsWithItsDaemon)
{
    Type("one\ntwo\n", false);
    Play({{Greeting() + kOwn, 1, "", kLeaves}, {Greeting() + kOwn, 0, "", kAnswers}});
    EXPECT_EQ(1, Run([this] { return RunRemoteConsole(m_path, {}, false); }));
    EXPECT_THAT(m_lines, ElementsAre("0: one"));
    EXPECT_EQ("murox: the daemon at " + m_path + " closed the connection\n", m_said);
}

// A follower on a terminal shows each event made visible; refused when it comes back, 4.
TEST_F(ConsoleSessionTest, AFollowerShowsEventsVisible)
{
    Type("", false);
    const BFd terminal(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_TRUE(terminal.Valid() && grantpt(terminal.Get()) == 0 && unlockpt(terminal.Get()) == 0 &&
                fcntl(terminal.Get(), F_SETFL, O_NONBLOCK) == 0);
    ASSERT_EQ(1, dup2(BFd(open(ptsname(terminal.Get()), O_RDWR | O_NOCTTY)).Get(), 1));
    Play({{Greeting() + Frame(control::kEvent, "\x1b]0;owned\x07"), 0, "", kLeaves},
          {kRefusal, 0, "", kLeaves}});
    EXPECT_EQ(4, Run([this] { return RunRemoteConsole(m_path, {}, true, false, kPatience); }));
    char shown[256];
    const ssize_t n = read(terminal.Get(), shown, sizeof shown);
    EXPECT_THAT(std::string(shown, n > 0 ? static_cast<std::size_t>(n) : 0),
                testing::HasSubstr(" \\x1b]0;owned\\x07"));
}

// A refusal of the console's credentials (4) is told from no room or no daemon (1), for scripts.
TEST_F(ConsoleSessionTest, OnlyARefusalOfTheConsolesCredentialsIsFour)
{
    // The same words later in a farewell are no refusal.
    const std::string stopping =
        Frame(control::kFarewell, std::string("murox: stopping; ") + control::kAccessRefused);
    Play({{kRefusal, 0, "", kLeaves}, {kRefusal, 0, "", kLeaves}, {stopping, 0, "", kLeaves}});
    BDaemonConnection connection;
    std::string error;
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_TRUE(connection.Refused());
    EXPECT_FALSE(connection.Untrusted());
    EXPECT_EQ("access refused: uid 7 is not root", error);
    EXPECT_EQ(4, RunRemoteConsole(m_path, {"xdll"}, false));
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_FALSE(connection.Refused()) << "the words later in a farewell taken for a refusal";
    Finish();
    ASSERT_EQ(0, unlink(m_path.c_str()));
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_FALSE(connection.Refused());
    EXPECT_EQ(1, RunRemoteConsole(m_path, {"xdll"}, false));
}

// A daemon that misbehaves, against a script's console (`input` its lines, or typed on its
// standard input, then closed if anything was): the console's status, standard output and one
// line on standard error (ending so), how many lines the daemon took; no polling on and on.
struct TMisbehaviour {
    const char* name;
    std::string hello;
    int take;
    std::string then;
    TManner manner;
    std::string input;
    bool typed;
    int status;
    std::string out;
    std::string said;
    std::size_t taken;
    friend void PrintTo(const TMisbehaviour& row, std::ostream* pOut) { *pOut << row.name; }
};

class ConsoleMisbehaviourTest : public ConsoleSessionTest,
                                public testing::WithParamInterface<TMisbehaviour> {};

const std::string kHello = Greeting() + kOwn;
const std::string kNoLine = "murox: the daemon sent an answer to no line\n";

const TMisbehaviour kMisbehaviours[] = {
    // Silent, full or deaf daemons are given up after the console's patience, one gone at once;
    // an answer is waited for as long as it takes, also after the end of input.
    {"Mute", kHello, 0, "", kMute, "xdll", false, 1, "", " sent no greeting within 0.3 seconds\n",
     0},
    {"Full", "", 0, "", kFull, "xdll", false, 1, "", std::strerror(EAGAIN) + std::string("\n"), 0},
    {"Deaf", kHello, 0, "", kDeaf, std::string(1 << 20, 'x'), false, 1, "",
     " took nothing for 0.3 seconds\n", 0},
    {"Gone", "", 0, "", kLeaves, "xdll", false, 1, "", " closed the connection\n", 0},
    {"Slow", kHello, 0, "", kSlow, "xdll", false, 0, "ran xdll\n", "", 1},
    {"SlowAfterTheEnd", kHello, 0, "", kSlow, "xdll\n", true, 0, "ran xdll\n", "", 1},
    // A frame of no type ends the console, also with a line unanswered after the end of input.
    {"Malformed", kHello, 1, std::string("Z\0\0\0\0", 5), kStays, "first", true, 1, "",
     " sent a malformed frame\n", 1},
    // A farewell is read even when the console's first send fails; one while a line awaits its
    // answer ends the console, the lines left unsent.
    {"Shut", Greeting() + kStopped, 0, "", kShuts, "xdll", false, 1, "",
     "murox: the daemon has stopped\n", 0},
    {"Stopping", kHello, 2, kStopped, kAnswers, "one\ntwo\nthree", false, 1, "ran one\n",
     "murox: the daemon has stopped\n", 2},
    // "quit" leaves and never reaches the daemon; what the daemon sends passes byte for byte.
    {"Quit", kHello, 0, Frame(control::kEvent, "\x1b]0;owned\x07"), kBusy,
     "one\n  quit now\nthree\n", true, 0, "\x1b]0;owned\x07\nran one\n", "", 1},
    // An answer to no line, before the choice of events or after: which is which is lost.
    {"Unasked", Greeting() + Frame(control::kAnswer, "x\n"), 0, "", kStays, "", true, 1, "",
     kNoLine, 0},
    {"UnaskedLater", kHello + Frame(control::kAnswer, "x\n"), 0, "", kStays, "", true, 1, "",
     kNoLine, 0},
};

TEST_P(ConsoleMisbehaviourTest, IsGivenUpOrWaitedFor)
{
    const TMisbehaviour& row = GetParam();
    Type(row.typed ? row.input : "", false, row.typed && !row.input.empty());
    std::vector<std::string> lines;
    std::istringstream given(row.typed ? "" : row.input);
    for (std::string line; std::getline(given, line);)
        lines.push_back(line);
    if (row.manner == kFull)
        FillBacklog();
    Play({{row.hello, row.take, row.then, row.manner}});
    const long polls = syscall_faults::PollCalls();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(row.status,
              Run([&] { return RunRemoteConsole(m_path, lines, false, false, kPatience); }));
    EXPECT_LT(syscall_faults::PollCalls() - polls, 50) << "the console spins";
    if (row.manner == kMute || row.manner == kFull || row.manner == kDeaf) {
        EXPECT_GE(std::chrono::steady_clock::now() - start, kPatience) << "given up too soon";
    }
    EXPECT_EQ(row.out, m_shown);
    EXPECT_THAT(m_said, EndsWith(row.said));
    EXPECT_EQ(row.said.empty() ? 0 : 1, std::count(m_said.begin(), m_said.end(), '\n')) << m_said;
    EXPECT_EQ(row.taken, m_lines.size());
}

INSTANTIATE_TEST_SUITE_P(Daemons, ConsoleMisbehaviourTest, testing::ValuesIn(kMisbehaviours),
                         [](const testing::TestParamInfo<TMisbehaviour>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
