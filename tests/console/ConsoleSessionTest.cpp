// A console's session against a daemon played by a thread: keys and Ctrl-C
// come before frames already received, a lost daemon is waited for, and a
// refusal of the console's credentials is told from other ends, for scripts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
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
#include "host/console/IConsoleOutput.h"
#include "host/console/RemoteConsole.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/Scratch.h"

namespace {

using testing::ElementsAre;
using testing::EndsWith;

// Events waiting: more than the console takes in one read, so that its socket stays readable too.
const int kHeap = 2000;

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

// What the played daemon does with a console after it took `take` lines: stays on, goes,
// stays and answers each line "ran LINE" (after sending `then` when busy), or stays after
// pressing Ctrl-C as it took the console.
enum TManner { kStays, kLeaves, kAnswers, kBusy, kInterrupts };

// One console taken by the played daemon: sent `hello`, then `then` once `take` lines came.
struct TVisit {
    std::string hello;
    int take;
    std::string then;
    TManner manner;
};

// The payload of the next frame `fd` sends (a console sends only lines), in `line`; false once it
// closed.
bool NextLine(int fd, std::string& line)
{
    char header[control::kHeaderSize];
    if (recv(fd, header, sizeof header, MSG_WAITALL) != sizeof header)
        return false;
    line.assign(control::PayloadLength(header), '\0');
    return line.empty() || recv(fd, &line[0], line.size(), MSG_WAITALL) == ssize_t(line.size());
}

void Send(const BFd& peer, const std::string& bytes)
{
    (void)!send(peer.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); // the console may be gone
}

TReconnectPolicy Reconnecting(int giveUpMs, int longestDelayMs = 200)
{
    return {true, 10, longestDelayMs, giveUpMs};
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
// terminal, its output a file.
class ConsoleSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_listener = testsupport::ListenAt(m_path, 1);
        ASSERT_TRUE(m_listener.Valid());
        m_savedIn = dup(0);
        m_savedOut = dup(1);
    }
    void TearDown() override
    {
        Finish();
        std::fflush(stdout);
        dup2(m_savedIn, 0);
        dup2(m_savedOut, 1);
        close(m_savedIn);
        close(m_savedOut);
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

    // What the operator typed, through a terminal where Ctrl-C is to be heard; then the end.
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
        dup2(fds[0], 0);
        close(fds[0]);
        std::fflush(stdout);
        const BFd shown(
            open((m_dir.Path() + "/shown").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        dup2(shown.Get(), 1);
    }
    // Runs a console to its end, `connected` called once greeted, then the daemon's; the console's
    // status, the test's stdio back.
    int Run(
        const TReconnectPolicy& policy = TReconnectPolicy(),
        const std::function<void()>& connected = [] {})
    {
        std::string error;
        if (!m_connection.Connect(m_path, error))
            throw std::runtime_error(error); // the daemon's thread would wait on
        connected();
        BConsoleScreen screen(m_output);
        const int status = BConsoleSession(m_connection, screen, policy).Run();
        std::fflush(stdout);
        dup2(m_savedIn, 0);
        dup2(m_savedOut, 1);
        std::ifstream file(m_dir.Path() + "/shown");
        m_shown.assign(std::istreambuf_iterator<char>(file), {});
        shutdown(m_connection.Fd(), SHUT_RDWR);
        Finish();
        return status;
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/control";
    BWatchedOutput m_output;
    // What it wrote to standard output, or error.
    const std::string& m_out = m_output.written[IConsoleOutput::kOut];
    const std::string& m_err = m_output.written[IConsoleOutput::kErr];
    std::string m_shown;              // on the terminal
    std::vector<std::string> m_lines; // "N: LINE", taken by the Nth visit
    int m_turnedAway = 0;
    BFd m_listener;
    BFd m_typist;
    BDaemonConnection m_connection;
    int m_savedIn = -1;
    int m_savedOut = -1;

private:
    // The next console, or none once the daemon is to end and none is waiting.
    BFd Accept()
    {
        for (pollfd waiting = {m_listener.Get(), POLLIN, 0};;) {
            const bool stop = m_stop;
            if (poll(&waiting, 1, stop ? 0 : 20) > 0)
                return BFd(accept(m_listener.Get(), nullptr, nullptr));
            if (stop)
                return BFd();
        }
    }
    void Visit(std::size_t index, const TVisit& visit)
    {
        const BFd peer = Accept();
        if (visit.manner == kInterrupts)
            kill(getpid(), SIGINT);
        Send(peer, visit.hello);
        if (visit.manner == kLeaves && visit.take == 0)
            return;
        int taken = 0;
        for (std::string line; peer.Valid() && NextLine(peer.Get(), line);) {
            m_lines.push_back(std::to_string(index) + ": " + line);
            if (visit.manner == kBusy)
                Send(peer, visit.then);
            if (visit.manner == kAnswers || visit.manner == kBusy)
                Send(peer, Frame(control::kAnswer, "ran " + line + "\n"));
            if (++taken != visit.take)
                continue;
            Send(peer, visit.then);
            if (visit.manner == kLeaves)
                return;
        }
    }

    std::thread m_daemon;
    std::atomic<bool> m_stop{false};
};

TEST_F(ConsoleSessionTest, ATypedLineIsTakenBeforeTheFramesWaiting)
{
    Type("quit\n", false);
    Play({{Greeting() + Events(), 0, "", kStays}});
    EXPECT_EQ(0, Run(TReconnectPolicy(), [this] {
                  EXPECT_TRUE(m_connection.HasFrame()) << "the events came apart from the greeting";
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
    EXPECT_EQ(0, Run(Reconnecting(10000), [this] {
                  char byte = 0; // the first daemon is gone before the console starts
                  EXPECT_EQ(0, recv(m_connection.Fd(), &byte, 1, MSG_PEEK));
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
    const int status =
        Run(Reconnecting(3000), [&] { EXPECT_EQ(0, rename(elsewhere.c_str(), m_path.c_str())); });
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
// 10, 20, 40, 80 then 100 ms pauses are 33 attempts at most (the last pause cut short); pauses
// that did not grow would be 300, that grew past the longest 9, and a slower machine makes fewer.
TEST_F(ConsoleSessionTest, TheWaitForTheDaemonIsBoundedAndBacksOff)
{
    Type("one\n", true, false);
    Play({{Greeting(), 1, "", kLeaves}}); // then the attempts are turned away
    EXPECT_EQ(1, Run(Reconnecting(3000, 100)));
    EXPECT_THAT(m_err, EndsWith("murox: the daemon did not come back within 3 seconds\n"));
    EXPECT_GE(m_turnedAway, 14);
    EXPECT_LE(m_turnedAway, 33);
}

// A script's console (no reconnection) ends with its daemon, status 1, and tries no other.
TEST_F(ConsoleSessionTest, AScriptsConsoleEndsWithItsDaemon)
{
    Type("one\ntwo\n", false);
    Play({{Greeting(), 1, "", kLeaves}});
    EXPECT_EQ(1, Run());
    EXPECT_THAT(m_lines, ElementsAre("0: one"));
    EXPECT_EQ(0, m_turnedAway);
    EXPECT_EQ("murox: the daemon at " + m_path + " closed the connection\n", m_err);
}

// Input ended with a line unanswered: the console waits on, and says why it stops. A frame of no
// type the daemon sends ends the console, which says so.
TEST_F(ConsoleSessionTest, AnUnansweredLineOutlivesTheEndOfInput)
{
    // The last line ends at the end of the input: both are read before the line is sent.
    Type("first", false);
    m_typist.Reset();
    Play({{Greeting(), 1, std::string("Z\0\0\0\0", 5), kStays}});
    EXPECT_EQ(1, Run());
    EXPECT_EQ("murox: the daemon at " + m_path + " sent a malformed frame\n", m_err);
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

} // namespace
