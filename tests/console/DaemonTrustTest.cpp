// A console speaks only to a daemon of root or its own user, as the kernel knows the server; one
// kept from the socket is told what keeps it out. Needs root, to serve and connect as others.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/console/BDaemonConnection.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/ChildSays.h"
#include "tests/support/Scratch.h"

namespace {

const uid_t kNobody = 65534;
// The socket's group: one nobody is not in unless it is given to it.
const gid_t kSocketGroup = 4321;

// Listens at `path` as `uid`: consoles see the listener's credentials at listen().
BFd ListenAs(const std::string& path, uid_t uid)
{
    BFd listener = testsupport::ListenAt(path);
    const bool listening =
        chmod(path.c_str(), 0666) == 0 && seteuid(uid) == 0 && listen(listener.Get(), 1) == 0;
    return seteuid(0) == 0 && listening ? std::move(listener) : BFd();
}

// What `console` says while one console is served at `listener`: greeted with a retitling
// greeting, then read to its end; `received` the bytes it sent.
template <typename TConsole>
std::string Served(const BFd& listener, long& received, TConsole console)
{
    received = -1;
    std::thread daemon([&] {
        pollfd waiting = {listener.Get(), POLLIN, 0};
        const BFd conn(poll(&waiting, 1, 30000) > 0 ? accept(listener.Get(), nullptr, nullptr)
                                                    : -1);
        if (!conn.Valid())
            return;
        std::string hello;
        control::AppendFrame(hello, control::kHello,
                             std::string(control::kGreeting) + " 1\x1b]0;owned\x07 2");
        // An untrusted console may have closed already.
        (void)!send(conn.Get(), hello.data(), hello.size(), MSG_NOSIGNAL);
        received = 0;
        char buffer[256];
        ssize_t n;
        while ((n = recv(conn.Get(), buffer, sizeof buffer, 0)) > 0)
            received += n;
    });
    const std::string said = console();
    daemon.join();
    return said;
}

class DaemonTrustTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    }

    // What a console of nobody, holding `groups` besides its own, is told at `path`: "connected"
    // and the greeting (then it sends a line), or why not, after "untrusted: " or "refused: "
    // if it was judged so.
    static std::string ConnectAsNobody(const std::string& path, const std::vector<gid_t>& groups)
    {
        return testsupport::ChildSays([&]() -> std::string {
            if (setgroups(groups.size(), groups.data()) != 0 ||
                setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(2);
            BDaemonConnection connection;
            std::string error;
            alarm(30); // a listener that never greets would keep it waiting
            if (connection.Connect(path, error))
                return connection.Send(control::kLine, "xdll", error)
                           ? "connected: " + connection.Greeting()
                           : error;
            return std::string(connection.Untrusted() ? "untrusted: " : "") +
                   (connection.Refused() ? "refused: " : "") + error +
                   (connection.Greeting().empty() ? "" : " (greeted)");
        });
    }

    const testsupport::TScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
};

// Nothing is read from a third user's daemon, nor sent to it.
TEST_F(DaemonTrustTest, OnlyRootsDaemonAndTheUsersOwnAreTrusted)
{
    for (const uid_t server : {uid_t(0), kNobody, uid_t(1)}) {
        const std::string path = m_dir + "/" + std::to_string(server) + ".ctl";
        const BFd listener = ListenAs(path, server);
        ASSERT_TRUE(listener.Valid());
        long received = 0;
        const std::string said =
            Served(listener, received, [&] { return ConnectAsNobody(path, {}); });
        if (server == 1) {
            EXPECT_EQ("untrusted: the socket " + path +
                          " is served by uid 1, neither root nor this user: not trusted",
                      said);
            EXPECT_EQ(0, received);
        } else {
            EXPECT_EQ("connected: 1\x1b]0;owned\x07 2", said) << server;
            EXPECT_EQ(long(control::kHeaderSize + 4), received) << server;
        }
    }
}

// What keeps a console out: a directory it cannot pass, the socket's group, or its mode.
TEST_F(DaemonTrustTest, AConsoleKeptFromTheSocketIsToldWhatKeepsItOut)
{
    const std::string run = m_dir + "/run";
    const std::string socket = run + "/murox.ctl";
    ASSERT_EQ(0, mkdir(run.c_str(), 0755));
    const BFd listener = testsupport::ListenAt(socket);
    ASSERT_TRUE(listener.Valid());
    ASSERT_EQ(0, chown(socket.c_str(), 0, kSocketGroup));
    ASSERT_EQ(0, chown(run.c_str(), 0, kSocketGroup));
    const std::string lead =
        "refused: a daemon may serve " + socket + ", but this user may not use it: ";
    const std::string group = std::to_string(kSocketGroup);

    // A stranger is told the group (its number where it has no name) and how to join it, whether
    // the daemon's directory or the socket keeps it out.
    const std::string join = lead + "access needs membership of the group " + group +
                             "; join it with: adduser nobody " + group +
                             " (as root), then log in again";
    ASSERT_EQ(0, chmod(run.c_str(), 0754));
    ASSERT_EQ(0, chmod(socket.c_str(), 0660));
    EXPECT_EQ(join, ConnectAsNobody(socket, {}));
    // A directory that can be listed but not passed by the group either is named.
    ASSERT_EQ(0, chmod(run.c_str(), 0744));
    EXPECT_EQ(lead + "its directory " + run + " (uid 0, group " + group +
                  ", mode 0744) does not let this user through; it must let the socket's group in",
              ConnectAsNobody(socket, {kSocketGroup}));
    // One that can be passed but not listed is not blamed: a member is kept out by the socket's
    // mode, a stranger by the group.
    ASSERT_EQ(0, chmod(run.c_str(), 0711));
    ASSERT_EQ(0, chmod(socket.c_str(), 0640));
    EXPECT_EQ(lead + "this user is in the socket's group, but the socket (uid 0, group " + group +
                  ", mode 0640) does not let its group write",
              ConnectAsNobody(socket, {kSocketGroup}));
    EXPECT_EQ(join, ConnectAsNobody(socket, {}));
}

} // namespace
