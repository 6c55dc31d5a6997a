// A console's session looks at the operator's keys and Ctrl-C before each
// frame it has already received: a daemon whose frames arrived in a heap
// holds up neither. The daemon's frames reach the console in one write, so
// that they wait in its buffer, and the key or Ctrl-C is there before the
// console takes the next frame.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BConsoleSession.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/IConsoleOutput.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"

namespace {

const int kHeap = 200; // events waiting in the console's buffer

std::string Frame(char type, const std::string& payload)
{
    std::string frame;
    control::AppendFrame(frame, type, payload);
    return frame;
}

std::string Events(const std::string& prefix)
{
    std::string events;
    for (int i = 0; i < kHeap; ++i)
        events += Frame(control::kEvent, prefix + std::to_string(i));
    return events;
}

// An answer's first piece on its way out presses Ctrl-C.
class BInterruptingOutput : public IConsoleOutput {
public:
    bool Terminal(TStream) const override { return false; }
    void Write(TStream stream, const std::string& bytes) override
    {
        written[stream] += bytes;
        if (stream == kOut && !bytes.empty() && !m_pressed) {
            m_pressed = true;
            raise(SIGINT);
        }
    }
    int OutError() override { return 0; }

    std::string written[2];

private:
    bool m_pressed = false;
};

// A daemon at a socket in a fresh directory, and the console's standard
// input and output swapped for a pipe holding `typed` and a file.
class ConsoleSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/murox-session-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_dir = dir;
        m_path = m_dir + "/control";
        sockaddr_un address{};
        ASSERT_TRUE(control::SocketAddress(m_path, address));
        m_listener.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(0, bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
        ASSERT_EQ(0, listen(m_listener.Get(), 1));
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
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    // What the operator typed, through a pipe or, where Ctrl-C is to be
    // heard, a terminal; then the end of the input.
    void Type(const std::string& typed, bool terminal)
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
        if (terminal) {
            ASSERT_EQ(1, write(fds[1], "\x04", 1)); // Ctrl-D: the end
        }
        m_typist.Reset(fds[1]);
        dup2(fds[0], 0);
        close(fds[0]);
        std::fflush(stdout);
        const BFd shown(open((m_dir + "/shown").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        dup2(shown.Get(), 1);
    }
    // Gives the test its own standard input and output back; what the
    // console showed.
    std::string Shown() const
    {
        std::fflush(stdout);
        dup2(m_savedIn, 0);
        dup2(m_savedOut, 1);
        std::ifstream file(m_dir + "/shown");
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    std::string m_dir;
    std::string m_path;
    BFd m_listener;
    BFd m_typist;
    int m_savedIn = -1;
    int m_savedOut = -1;
};

// The daemon greets, then sends `heap` in one write once `lines` line
// frames came, and stays until the console leaves.
void Serve(int listener, const std::string& heap, int lines)
{
    const BFd peer(accept(listener, nullptr, nullptr));
    const std::string greeting = Frame(control::kHello, std::string(control::kGreeting) + " 1 1.0");
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
    BDaemonConnection connection;
    std::string error;
    ASSERT_TRUE(connection.Connect(m_path, error)) << error;
    ASSERT_TRUE(connection.HasFrame()) << "the events came apart from the greeting";
    BInterruptingOutput output;
    BConsoleScreen screen(output);
    const int status = BConsoleSession(connection, screen).Run();
    const std::string shown = Shown();
    shutdown(connection.Fd(), SHUT_RDWR);
    daemon.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(std::string::npos, shown.find("event " + std::to_string(kHeap - 1)))
        << "every event waiting was shown before the typed \"quit\"";
}

// Ctrl-C is pressed as the answer to the first line is shown; the answer
// to the second waits behind many events, and is abandoned.
TEST_F(ConsoleSessionTest, CtrlCIsTakenBeforeTheFramesWaiting)
{
    Type("first\nsecond\n", true);
    const std::string heap =
        Frame(control::kAnswer, "one\n") + Events("event ") + Frame(control::kAnswer, "two\n");
    std::thread daemon(Serve, m_listener.Get(), heap, 1);
    BDaemonConnection connection;
    std::string error;
    ASSERT_TRUE(connection.Connect(m_path, error)) << error;
    BInterruptingOutput output;
    BConsoleScreen screen(output);
    BConsoleSession(connection, screen).Run();
    const std::string shown = Shown();
    shutdown(connection.Fd(), SHUT_RDWR);
    daemon.join();
    const std::string& out = output.written[IConsoleOutput::kOut];
    EXPECT_EQ(0u, out.find("one\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("two")) << "the abandoned answer was shown";
    EXPECT_NE(std::string::npos,
              output.written[IConsoleOutput::kErr].find("murox: answer abandoned"))
        << output.written[IConsoleOutput::kErr] << shown;
}

// The input ends while a line waits for its answer: the console waits on,
// and says why it stops when the daemon goes away instead of answering.
TEST_F(ConsoleSessionTest, AnUnansweredLineOutlivesTheEndOfInput)
{
    // The last line ends at the end of the input: both are read before
    // the line is sent.
    Type("first", false);
    m_typist.Reset();
    std::thread daemon([this] {
        const BFd peer(accept(m_listener.Get(), nullptr, nullptr));
        const std::string greeting =
            Frame(control::kHello, std::string(control::kGreeting) + " 1 1.0");
        if (write(peer.Get(), greeting.data(), greeting.size()) < 0)
            return;
        // Gone once the line came, without a word.
        char buffer[4096];
        for (ssize_t n; (n = read(peer.Get(), buffer, sizeof buffer)) > 0;)
            if (std::string(buffer, static_cast<std::size_t>(n)).find(control::kLine) !=
                std::string::npos)
                return;
    });
    BDaemonConnection connection;
    std::string error;
    ASSERT_TRUE(connection.Connect(m_path, error)) << error;
    BInterruptingOutput output;
    BConsoleScreen screen(output);
    const int status = BConsoleSession(connection, screen).Run();
    Shown();
    daemon.join();
    EXPECT_EQ(1, status);
    EXPECT_EQ("murox: the daemon at " + m_path + " closed the connection\n",
              output.written[IConsoleOutput::kErr]);
}

} // namespace
