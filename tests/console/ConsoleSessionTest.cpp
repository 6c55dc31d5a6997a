// A console's session against a daemon played by a thread: keys and Ctrl-C
// come before frames already received, and a lost daemon is waited for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BConsoleSession.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/IConsoleOutput.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/Scratch.h"

namespace {

const int kHeap = 200; // events waiting in the console's buffer

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

std::string Events(const std::string& prefix)
{
    std::string events;
    for (int i = 0; i < kHeap; ++i)
        events += Frame(control::kEvent, prefix + std::to_string(i));
    return events;
}

// What a console wrote; Ctrl-C (or `press`) pressed the first time `stream` is sent `pressAt`
// ("": anything).
class BWatchedOutput : public IConsoleOutput {
public:
    BWatchedOutput() = default;
    BWatchedOutput(
        TStream stream, std::string pressAt, std::function<void()> press = [] { raise(SIGINT); })
        : m_armed(true), m_stream(stream), m_pressAt(std::move(pressAt)), m_press(std::move(press))
    {
    }
    bool Terminal(TStream) const override { return false; }
    void Write(TStream stream, const std::string& bytes) override
    {
        written[stream] += bytes;
        if (m_armed && stream == m_stream && !bytes.empty() &&
            bytes.find(m_pressAt) != std::string::npos) {
            m_armed = false;
            m_press();
        }
    }
    int OutError() override { return 0; }

    std::string written[2];

private:
    bool m_armed = false;
    TStream m_stream = kOut;
    std::string m_pressAt;
    std::function<void()> m_press;
};

// A daemon's socket in a fresh directory; the console's input a pipe or terminal, output a file.
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
        std::fflush(stdout);
        dup2(m_savedIn, 0);
        dup2(m_savedOut, 1);
        close(m_savedIn);
        close(m_savedOut);
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
    // Runs a console to its end, `connected` called once greeted; its status, the test's stdio back
    int Run(
        IConsoleOutput& output, const TReconnectPolicy& policy = TReconnectPolicy(),
        const std::function<void()>& connected = [] {})
    {
        std::string error;
        if (!m_connection.Connect(m_path, error))
            throw std::runtime_error(error); // the daemon's thread would wait on
        connected();
        BConsoleScreen screen(output);
        const int status = BConsoleSession(m_connection, screen, policy).Run();
        std::fflush(stdout);
        dup2(m_savedIn, 0);
        dup2(m_savedOut, 1);
        std::ifstream file(m_dir.Path() + "/shown");
        m_shown.assign(std::istreambuf_iterator<char>(file), {});
        shutdown(m_connection.Fd(), SHUT_RDWR);
        return status;
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/control";
    std::string m_shown;
    BFd m_listener;
    BFd m_typist;
    BDaemonConnection m_connection;
    int m_savedIn = -1;
    int m_savedOut = -1;
};

// Greets, sends `heap` in one write once `lines` line frames came, stays until the console leaves.
void Serve(int listener, const std::string& heap, int lines)
{
    const BFd peer(accept(listener, nullptr, nullptr));
    const std::string greeting = Greeting();
    std::string received;
    if (lines == 0)
        received = greeting + heap;
    else if (write(peer.Get(), greeting.data(), greeting.size()) < 0)
        return;
    char buffer[4096];
    ssize_t n = 0;
    for (int seen = 0; seen < lines && (n = read(peer.Get(), buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < n; ++i)
            seen += buffer[i] == control::kLine;
        if (seen >= lines)
            received = heap;
    }
    if (write(peer.Get(), received.data(), received.size()) < 0)
        return;
    while (read(peer.Get(), buffer, sizeof buffer) > 0) {
    }
}

TEST_F(ConsoleSessionTest, ATypedLineIsTakenBeforeTheFramesWaiting)
{
    Type("quit\n", false);
    std::thread daemon(Serve, m_listener.Get(), Events("event "), 0);
    BWatchedOutput output(IConsoleOutput::kOut, "");
    EXPECT_EQ(0, Run(output, TReconnectPolicy(), [this] {
                  EXPECT_TRUE(m_connection.HasFrame()) << "the events came apart from the greeting";
              }));
    daemon.join();
    EXPECT_EQ(std::string::npos, m_shown.find("event " + std::to_string(kHeap - 1)))
        << "every event waiting was shown before the typed \"quit\"";
}

// Why a line failed, arriving while the operator's prompt is shown, goes below it and the
// prompt is drawn again; then the operator's Ctrl-D ends the console.
TEST_F(ConsoleSessionTest, AFailureUnderThePromptDrawsThePromptAgain)
{
    Type("", true, false);
    const std::string failure = "extension library 'web1' not loaded";
    std::thread daemon(Serve, m_listener.Get(), Frame(control::kFailureEvent, failure), 0);
    BWatchedOutput output(IConsoleOutput::kErr, failure,
                          [this] { EXPECT_EQ(1, write(m_typist.Get(), "\x04", 1)); });
    EXPECT_EQ(0, Run(output));
    daemon.join();
    EXPECT_EQ(failure + "\n", output.written[IConsoleOutput::kErr]);
    EXPECT_EQ("murox> murox> \n", m_shown);
}

// Ctrl-C as the first answer shows: the second answer, waiting behind many events, is abandoned.
TEST_F(ConsoleSessionTest, CtrlCIsTakenBeforeTheFramesWaiting)
{
    Type("first\nsecond\n", true);
    const std::string heap =
        Frame(control::kAnswer, "one\n") + Events("event ") + Frame(control::kAnswer, "two\n");
    std::thread daemon(Serve, m_listener.Get(), heap, 1);
    BWatchedOutput output(IConsoleOutput::kOut, "");
    Run(output);
    daemon.join();
    const std::string& out = output.written[IConsoleOutput::kOut];
    EXPECT_EQ(0u, out.find("one\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("two")) << "the abandoned answer was shown";
    EXPECT_NE(std::string::npos,
              output.written[IConsoleOutput::kErr].find("murox: answer abandoned"))
        << output.written[IConsoleOutput::kErr] << m_shown;
}

// The payload of the next line frame `fd` sends; empty once it closed.
std::string NextLine(int fd)
{
    control::BFrameReader reader = control::BFrameReader::FromConsole();
    char buffer[4096];
    control::TFrame frame;
    for (;;) {
        while (reader.Next(frame) == control::BFrameReader::kFrame)
            if (frame.type == control::kLine)
                return frame.payload;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return std::string();
        reader.Append(buffer, static_cast<std::size_t>(n));
    }
}

// A daemon that greets the next console at `listener` and goes once it sent a line (returned).
std::string GreetAndTakeLine(int listener)
{
    const BFd peer(accept(listener, nullptr, nullptr));
    const std::string greeting = Greeting();
    return write(peer.Get(), greeting.data(), greeting.size()) > 0 ? NextLine(peer.Get()) : "";
}

// A daemon that takes a line and goes, then one that sends `second` and answers lines, kept.
void ServeTwice(int listener, const std::string& second, std::vector<std::string>* pLines)
{
    const std::string greeting = Greeting();
    {
        const BFd first(accept(listener, nullptr, nullptr));
        if (write(first.Get(), greeting.data(), greeting.size()) < 0)
            return;
        pLines->push_back("first: " + NextLine(first.Get()));
        // Part of a frame, which the next connection must not read on from.
        const std::string part = Frame(control::kEvent, "cut short").substr(0, 8);
        if (write(first.Get(), part.data(), part.size()) < 0)
            return;
    }
    const BFd next(accept(listener, nullptr, nullptr));
    if (write(next.Get(), second.data(), second.size()) < 0)
        return;
    for (std::string line; !(line = NextLine(next.Get())).empty();) {
        pLines->push_back("second: " + line);
        const std::string answer = Frame(control::kAnswer, "ran " + line + "\n");
        if (write(next.Get(), answer.data(), answer.size()) < 0)
            return;
    }
}

TReconnectPolicy Reconnecting(int giveUpMs)
{
    TReconnectPolicy policy;
    policy.enabled = true;
    policy.firstDelayMs = 10;
    policy.longestDelayMs = 200;
    policy.giveUpMs = giveUpMs;
    return policy;
}

// A lost daemon is waited for; the next is sent the line typed ahead, never the one in flight.
TEST_F(ConsoleSessionTest, AnOperatorsConsoleWaitsForTheNextDaemon)
{
    Type("one\ntwo\n", true);
    std::vector<std::string> lines;
    std::thread daemon(ServeTwice, m_listener.Get(), Greeting("2 2.0"), &lines);
    BWatchedOutput output;
    EXPECT_EQ(0, Run(output, Reconnecting(10000)));
    daemon.join();
    EXPECT_THAT(lines, testing::ElementsAre("first: one", "second: two"));
    EXPECT_EQ("murox: connected to the daemon at " + m_path + ", pid 2, version 2.0\nran two\n",
              output.written[IConsoleOutput::kOut]);
    EXPECT_EQ("murox: the daemon at " + m_path +
                  " closed the connection\n"
                  "murox: the answer to the line sent is lost; the daemon may have run it\n"
                  "murox: waiting for the daemon to come back (Ctrl-C gives up)\n",
              output.written[IConsoleOutput::kErr]);
}

// A line typed for a daemon gone before it was sent goes to the next daemon.
TEST_F(ConsoleSessionTest, ALineNoDaemonTookGoesToTheNext)
{
    Type("one\n", true);
    std::vector<std::string> lines;
    std::promise<void> firstGone;
    std::thread daemon([this, &lines, &firstGone] {
        const std::string greeting = Greeting();
        {
            const BFd first(accept(m_listener.Get(), nullptr, nullptr));
            if (write(first.Get(), greeting.data(), greeting.size()) < 0)
                return;
        }
        firstGone.set_value();
        const BFd next(accept(m_listener.Get(), nullptr, nullptr));
        if (write(next.Get(), greeting.data(), greeting.size()) < 0)
            return;
        lines.push_back(NextLine(next.Get()));
        const std::string answer = Frame(control::kAnswer, "ran\n");
        if (write(next.Get(), answer.data(), answer.size()) < 0)
            return;
        NextLine(next.Get());
    });
    BWatchedOutput output;
    EXPECT_EQ(0, Run(output, Reconnecting(10000), [&firstGone] { firstGone.get_future().wait(); }));
    daemon.join();
    EXPECT_THAT(lines, testing::ElementsAre("one"));
    EXPECT_THAT(output.written[IConsoleOutput::kOut], testing::EndsWith("ran\n"));
    EXPECT_EQ(std::string::npos, output.written[IConsoleOutput::kErr].find("is lost"))
        << output.written[IConsoleOutput::kErr];
}

// The next daemon is judged as the first: one that refuses ends the console with 4, sent nothing.
TEST_F(ConsoleSessionTest, ARefusalByTheNextDaemonEndsTheConsoleWithFour)
{
    Type("one\ntwo\n", true);
    std::vector<std::string> lines;
    std::thread daemon(
        ServeTwice, m_listener.Get(),
        Frame(control::kFarewell, std::string(control::kAccessRefused) + "uid 7 is not root\n"),
        &lines);
    BWatchedOutput output;
    EXPECT_EQ(4, Run(output, Reconnecting(10000)));
    daemon.join();
    EXPECT_THAT(lines, testing::ElementsAre("first: one"));
    EXPECT_THAT(output.written[IConsoleOutput::kErr],
                testing::EndsWith("murox: access refused: uid 7 is not root\n"));
}

// The daemon that comes back is judged as the first was: one of another user ends the console
// with status 4 at once, however long the console would wait. Needs root, to serve as another.
TEST_F(ConsoleSessionTest, AnUntrustedNextDaemonEndsTheConsoleWithFour)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to serve as another user";
    Type("one\ntwo\n", true);
    // The first daemon takes a line and goes; a stranger's comes in its place.
    pid_t stranger = -1;
    std::thread daemon([this, &stranger] {
        GreetAndTakeLine(m_listener.Get());
        m_listener.Reset();
        unlink(m_path.c_str());
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        m_path.copy(address.sun_path, sizeof address.sun_path - 1);
        stranger = fork();
        if (stranger != 0)
            return;
        // Bound as root, listening as nobody: the kernel names the listener's user.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 8) != 0)
            _exit(1);
        for (;;)
            close(accept(fd, nullptr, nullptr));
    });
    BWatchedOutput output;
    const int status = Run(output, Reconnecting(3000));
    daemon.join();
    if (stranger > 0) {
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);
    }
    EXPECT_EQ(4, status) << output.written[IConsoleOutput::kErr];
    EXPECT_THAT(output.written[IConsoleOutput::kErr], testing::HasSubstr("not trusted"));
}

// Nothing comes back: Ctrl-C gives up at once, with status 1.
TEST_F(ConsoleSessionTest, CtrlCGivesUpWaitingForTheDaemon)
{
    Type("one\n", true, false);
    std::thread daemon([this] {
        GreetAndTakeLine(m_listener.Get());
        m_listener.Reset(); // no daemon any more
    });
    BWatchedOutput output(IConsoleOutput::kErr, "waiting for the daemon");
    // Past the test's own deadline, had Ctrl-C not been heard.
    EXPECT_EQ(1, Run(output, Reconnecting(600000)));
    daemon.join();
    EXPECT_THAT(output.written[IConsoleOutput::kErr],
                testing::EndsWith("murox: gave up waiting for the daemon\n"));
}

// Ctrl-C is heard while a daemon that took the console says nothing, well before that wait ends.
TEST_F(ConsoleSessionTest, CtrlCGivesUpWhileTheNextDaemonSaysNothing)
{
    Type("one\n", true, false);
    std::thread daemon([this] {
        GreetAndTakeLine(m_listener.Get());
        const BFd mute(accept(m_listener.Get(), nullptr, nullptr));
        kill(getpid(), SIGINT);
        char byte = 0;
        while (read(mute.Get(), &byte, 1) > 0) {
        }
    });
    BWatchedOutput output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, Run(output, Reconnecting(600000)));
    const auto took = std::chrono::steady_clock::now() - start;
    daemon.join();
    EXPECT_THAT(output.written[IConsoleOutput::kErr],
                testing::EndsWith("murox: gave up waiting for the daemon\n"));
    EXPECT_LT(took, std::chrono::seconds(BDaemonConnection::kPatienceSeconds));
}

class ConsoleBackOffTest : public ConsoleSessionTest {
protected:
    // Daemons that go at once before any greeting, tried under `policy` until the console gives
    // up: how many attempts there were, and what the console said.
    int AttemptsUntilGivenUp(const TReconnectPolicy& policy, std::string& said)
    {
        const int listener = m_listener.Get();
        int attempts = 0;
        std::thread daemon([listener, &attempts] {
            GreetAndTakeLine(listener);
            // The console's own end stops the thread.
            for (;;) {
                pollfd waiting = {listener, POLLIN, 0};
                if (poll(&waiting, 1, 1500) <= 0)
                    return;
                const BFd attempt(accept(listener, nullptr, nullptr));
                ++attempts;
            }
        });
        BWatchedOutput output;
        const int status = Run(output, policy);
        daemon.join();
        said = output.written[IConsoleOutput::kErr];
        return status == 1 ? attempts : -1;
    }
};

// The pauses between attempts grow, until the patience ends: status 1.
TEST_F(ConsoleBackOffTest, TheWaitForTheDaemonIsBoundedAndBacksOff)
{
    Type("one\n", true, false);
    TReconnectPolicy policy = Reconnecting(1000);
    policy.longestDelayMs = 2000;
    std::string said;
    const int attempts = AttemptsUntilGivenUp(policy, said);
    EXPECT_THAT(said, testing::EndsWith("murox: the daemon did not come back within 1 seconds\n"));
    // 10, 20, 40 ... 640 ms: at most 7 attempts in a second; a slower machine makes fewer.
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 7);
}

// The pauses grow no longer than the longest: 3 s of 20 ms pauses are many more attempts than
// the 8 that doubling pauses would give, however slow the machine.
TEST_F(ConsoleBackOffTest, ThePausesBetweenAttemptsAreBounded)
{
    Type("one\n", true, false);
    TReconnectPolicy policy = Reconnecting(3000);
    policy.longestDelayMs = 20;
    std::string said;
    EXPECT_GE(AttemptsUntilGivenUp(policy, said), 16) << said;
}

// A script's console (no reconnection) ends with its daemon, status 1, and tries no other.
TEST_F(ConsoleSessionTest, AScriptsConsoleEndsWithItsDaemon)
{
    Type("one\ntwo\n", false);
    std::vector<std::string> lines;
    std::thread daemon(ServeTwice, m_listener.Get(), Greeting("2 2.0"), &lines);
    BWatchedOutput output;
    EXPECT_EQ(1, Run(output));
    // The second daemon's first console is this one: the lost one tried no other.
    std::string error;
    EXPECT_TRUE(m_connection.Connect(m_path, error)) << error;
    EXPECT_EQ("2 2.0", m_connection.Greeting());
    shutdown(m_connection.Fd(), SHUT_RDWR);
    daemon.join();
    EXPECT_THAT(lines, testing::ElementsAre("first: one"));
    EXPECT_EQ("murox: the daemon at " + m_path + " closed the connection\n",
              output.written[IConsoleOutput::kErr]);
}

// Input ended with a line unanswered: the console waits on, and says why it stops.
TEST_F(ConsoleSessionTest, AnUnansweredLineOutlivesTheEndOfInput)
{
    // The last line ends at the end of the input: both are read before the line is sent.
    Type("first", false);
    m_typist.Reset();
    std::thread daemon(GreetAndTakeLine, m_listener.Get()); // gone without a word
    BWatchedOutput output(IConsoleOutput::kOut, "");
    EXPECT_EQ(1, Run(output));
    daemon.join();
    EXPECT_EQ("murox: the daemon at " + m_path + " closed the connection\n",
              output.written[IConsoleOutput::kErr]);
}

} // namespace
