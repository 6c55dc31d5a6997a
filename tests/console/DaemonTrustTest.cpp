// A console speaks only to a daemon of root or its own user, as the kernel knows the server.
// Needs root, to serve and connect as other users.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/console/BDaemonConnection.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/Scratch.h"

namespace {

const uid_t kNobody = 65534;

// Listens at `path` as `uid`, greets one console with a retitling greeting, reports bytes received.
class BStandIn {
public:
    BStandIn(const std::string& path, uid_t uid)
    {
        int ready[2];
        int report[2];
        if (pipe(ready) != 0 || pipe(report) != 0)
            std::abort();
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            close(report[0]);
            Serve(path, uid, ready[1], report[1]);
        }
        close(ready[1]);
        close(report[1]);
        char byte = 0;
        m_ok = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        m_report = report[0];
    }
    ~BStandIn()
    {
        close(m_report);
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }

    bool Ok() const { return m_ok; }
    // The bytes the console sent, once it closed.
    long Received()
    {
        long count = -1;
        return read(m_report, &count, sizeof count) == sizeof count ? count : -1;
    }

private:
    // Consoles see the listener's credentials at listen(): bound as root, listening as `uid`.
    [[noreturn]] static void Serve(const std::string& path, uid_t uid, int ready, int report)
    {
        alarm(30);
        sockaddr_un address;
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        if (!control::SocketAddress(path, address) ||
            bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            chmod(path.c_str(), 0666) != 0 || setgid(uid) != 0 || setuid(uid) != 0 ||
            listen(listener, 1) != 0 || write(ready, "k", 1) != 1)
            _exit(1);
        const int conn = accept(listener, nullptr, nullptr);
        std::string hello;
        control::AppendFrame(hello, control::kHello,
                             std::string(control::kGreeting) + " 1\x1b]0;owned\x07 2");
        // An untrusted console may have closed already.
        (void)!send(conn, hello.data(), hello.size(), MSG_NOSIGNAL);
        long count = 0;
        char buffer[256];
        ssize_t n;
        while ((n = recv(conn, buffer, sizeof buffer, 0)) > 0)
            count += n;
        _exit(write(report, &count, sizeof count) == sizeof count ? 0 : 1);
    }

    pid_t m_pid = -1;
    bool m_ok = false;
    int m_report = -1;
};

class DaemonTrustTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    }

    // Connects as `uid` (a child when not root): 0 trusted and greeted, 4 untrusted, 1 otherwise.
    static int ConnectAs(uid_t uid, const std::string& path)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
                _exit(2);
            BDaemonConnection connection;
            std::string error;
            _exit(connection.Connect(path, error) ? 0 : connection.Untrusted() ? 4 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const testsupport::TScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
};

TEST_F(DaemonTrustTest, AStrangersDaemonIsNeitherBelievedNorSentAnything)
{
    const std::string path = m_dir + "/stranger.ctl";
    BStandIn stranger(path, kNobody);
    ASSERT_TRUE(stranger.Ok());
    BDaemonConnection connection;
    std::string error;
    EXPECT_FALSE(connection.Connect(path, error));
    EXPECT_TRUE(connection.Untrusted());
    EXPECT_EQ("the socket " + path +
                  " is served by uid 65534, neither root nor this user: " + "not trusted",
              error);
    EXPECT_EQ("", connection.Greeting());
    EXPECT_FALSE(connection.Send(control::kLine, "xdll -d hello", error));
    EXPECT_EQ(0, stranger.Received());
}

TEST_F(DaemonTrustTest, RootsDaemonAndTheUsersOwnAreTrusted)
{
    const std::string path = m_dir + "/root.ctl";
    BStandIn root(path, 0);
    ASSERT_TRUE(root.Ok());
    {
        BDaemonConnection connection;
        std::string error;
        ASSERT_TRUE(connection.Connect(path, error)) << error;
        EXPECT_FALSE(connection.Untrusted());
        EXPECT_EQ("1\x1b]0;owned\x07 2", connection.Greeting());
        ASSERT_TRUE(connection.Send(control::kLine, "xdll", error));
    }
    EXPECT_EQ(long(control::kHeaderSize + 4), root.Received());

    // Another user's console: root's daemon and the user's own serve it, a third user's does not.
    for (const uid_t server : {uid_t(0), kNobody, uid_t(1)}) {
        const std::string served = m_dir + "/" + std::to_string(server) + ".ctl";
        BStandIn standIn(served, server);
        ASSERT_TRUE(standIn.Ok());
        EXPECT_EQ(server == 1 ? 4 : 0, ConnectAs(kNobody, served)) << "served by " << server;
    }
}

} // namespace
