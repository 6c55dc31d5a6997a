// Who the control server lets in, with connections from processes of other users (so, as root).
// The claim's failure comes from standing in for the C library's fchownat.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "host/server/ILogOutput.h"
#include "host/server/OutputWait.h"
#include "tests/host/TIdleRunner.h"
#include "tests/support/Scratch.h"

namespace {

bool s_failChown = false;

} // namespace

extern "C" int fchownat(int dirFd, const char* szPath, uid_t owner, gid_t group, int flags) noexcept
{
    if (s_failChown) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fchownat, dirFd, szPath, owner, group, flags));
}

namespace {

const gid_t kGroup = 4242;
const gid_t kOtherGroup = 4343;
const uid_t kNobody = 65534;

// Reads exactly `size` bytes, or fewer at the end.
std::size_t ReadFully(int fd, char* pData, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, pData + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

class ServerAccessTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "connecting as another user needs root";
        // Others pass through; the socket's own mode and group decide.
        ASSERT_EQ(0, chmod(m_dir.Path().c_str(), 0711));
        ASSERT_EQ(0, mkdir((m_dir.Path() + "/run").c_str(), 0755));
        const TClaimResult claimed = m_socket.Claim(m_path, kGroup);
        ASSERT_EQ(TClaimResult::kClaimed, claimed.outcome) << claimed.error;
        m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    }
    // The first frame sent to a process connecting as `uid` with only `group`: type, payload.
    std::string FirstFrame(uid_t uid, gid_t group)
    {
        int report[2];
        EXPECT_EQ(0, pipe(report));
        const pid_t pid = fork();
        if (pid == 0) {
            close(report[0]);
            alarm(30);
            sockaddr_un address;
            control::SocketAddress(m_path, address);
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(uid) != 0 ||
                connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                _exit(1);
            char frame[control::kHeaderSize + 4096];
            std::size_t got = ReadFully(fd, frame, control::kHeaderSize);
            if (got == control::kHeaderSize) {
                const std::size_t length = control::PayloadLength(frame);
                got += ReadFully(fd, frame + got, length < 4096 ? length : 4096);
            }
            (void)!write(report[1], frame, got);
            _exit(0);
        }
        close(report[1]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = -1;
        while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            m_pServer->Turn(m_runner, 10);
        std::string frame(control::kHeaderSize + 4096, '\0');
        frame.resize(ReadFully(report[0], &frame[0], frame.size()));
        close(report[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return frame.size() < control::kHeaderSize ? frame
                                                   : frame.erase(1, control::kHeaderSize - 1);
    }
    // Serves `count` more clients through socket pairs.
    void Fill(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            auto pair = testsupport::SocketPair();
            ASSERT_TRUE(pair.second.Valid());
            TPeer peer;
            peer.uid = kNobody;
            peer.gid = kGroup;
            m_pServer->Attach(std::move(pair.first), peer);
            m_peers.push_back(std::move(pair.second));
        }
    }
    static std::string Greeting()
    {
        return std::string(1, control::kHello) + control::kGreeting + " " +
               std::to_string(getpid()) + " " + MUROX_VERSION;
    }
    static std::string Refused(const std::string& why)
    {
        return std::string(1, control::kFarewell) + "murox: access refused: " + why + "\n";
    }
    // Not a refusal of the peer's credentials: the console gives up with 1.
    static std::string NoRoom(const std::string& why)
    {
        return std::string(1, control::kFarewell) + "murox: no room: " + why + "\n";
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/run/c.ctl";
    TClientLimits m_limits;
    BControlSocket m_socket;
    std::unique_ptr<BControlServer> m_pServer;
    std::vector<BFd> m_peers;
    TIdleRunner m_runner;
};

// A new socket group lets its members in and keeps the old one's out, telling them the group.
TEST_F(ServerAccessTest, TheSocketsGroupIsReadAgainAtEachConnection)
{
    struct stat info {};
    ASSERT_EQ(0, stat(m_path.c_str(), &info));
    EXPECT_EQ(kGroup, info.st_gid);
    // Opened to all: the server, not the file's mode, turns away whoever is not in the group.
    ASSERT_EQ(0, chmod(m_path.c_str(), 0666));
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kGroup));
    EXPECT_EQ(Refused("uid 65534 is not root, the daemon's user or a member of group 4242"),
              FirstFrame(kNobody, kOtherGroup));
    ASSERT_EQ(0, chown(m_path.c_str(), static_cast<uid_t>(-1), kOtherGroup));
    EXPECT_EQ(kOtherGroup, m_socket.Group());
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kOtherGroup));
    EXPECT_EQ(Refused("uid 65534 is not root, the daemon's user or a member of group 4343"),
              FirstFrame(kNobody, kGroup));
}

// With every place taken, one more is kept for root or the daemon's user, not for group members.
TEST_F(ServerAccessTest, TheLastPlaceIsKeptForTheAdministrator)
{
    // Each process here leaves once it has its first frame.
    Fill(BControlServer::kMaxClients - 1);
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kGroup));
    Fill(1);
    EXPECT_EQ(NoRoom("too many consoles (" + std::to_string(BControlServer::kMaxClients) +
                     "); try again later"),
              FirstFrame(kNobody, kGroup));
    EXPECT_EQ(Greeting(), FirstFrame(0, kGroup));
}

// A daemon run as its own user keeps the last place for that user too, group or not.
TEST_F(ServerAccessTest, TheDaemonsOwnUserIsAnAdministratorToo)
{
    const uid_t kDaemonUser = 4444;
    m_pServer.reset();
    ASSERT_EQ(0, seteuid(kDaemonUser));
    m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    ASSERT_EQ(0, seteuid(0));
    // The daemon's own socket, as when it claims it.
    ASSERT_EQ(0, chown(m_path.c_str(), kDaemonUser, static_cast<gid_t>(-1)));
    Fill(BControlServer::kMaxClients);
    EXPECT_EQ(NoRoom("too many consoles (" + std::to_string(BControlServer::kMaxClients) +
                     "); try again later"),
              FirstFrame(kNobody, kGroup));
    EXPECT_EQ(Greeting(), FirstFrame(kDaemonUser, kOtherGroup));
    EXPECT_EQ(Greeting(), FirstFrame(0, kOtherGroup));
}

// A log output that says how many records it lost.
class TLossyLog : public ILogOutput {
public:
    void Take(const char*, std::size_t, TLogPriority) override {}
    int Fd() const override { return -1; }
    bool Pending() const override { return false; }
    void Drain() override {}
    unsigned long DroppedRecords() const override { return 17; }
};

// The server's part of "status": its socket, consoles served, connections refused, records lost.
TEST_F(ServerAccessTest, TheServerSaysWhatItServesAndRefused)
{
    TDaemonStatus status;
    m_pServer->FillStatus(status);
    EXPECT_TRUE(status.daemon);
    EXPECT_EQ(m_path, status.socket);
    EXPECT_EQ(0U, status.consoles);
    EXPECT_EQ(0U, status.refusals);
    EXPECT_EQ(0U, status.eventsDropped);
    EXPECT_LE(status.startedMs, status.nowMs);
    Fill(3);
    ASSERT_EQ(0, chmod(m_path.c_str(), 0666));
    EXPECT_EQ(Refused("uid 65534 is not root, the daemon's user or a member of group 4242"),
              FirstFrame(kNobody, kOtherGroup));
    m_pServer->FillStatus(status);
    EXPECT_EQ(3U, status.consoles);
    EXPECT_EQ(1U, status.refusals);
    // One leaves: it is no longer counted once the server has seen it go.
    m_peers.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (status.consoles != 2 && std::chrono::steady_clock::now() < deadline) {
        m_pServer->Turn(m_runner, 10);
        m_pServer->FillStatus(status);
    }
    EXPECT_EQ(2U, status.consoles);

    // Its uptime runs from when it was made.
    TLossyLog log;
    const long long before = MonotonicMs();
    BControlServer logging(m_socket, -1, &log, m_limits);
    const long long after = MonotonicMs();
    while (MonotonicMs() <= after)
        usleep(1000);
    logging.FillStatus(status);
    EXPECT_EQ(17U, status.eventsDropped);
    EXPECT_EQ(0U, status.consoles);
    EXPECT_LE(before, status.startedMs);
    EXPECT_GE(after, status.startedMs);
    EXPECT_LT(after, status.nowMs);
}

// A socket that cannot be given its group is not served, and leaves nothing behind.
TEST(ControlSocketTest, ASocketThatCannotBeGivenItsGroupIsNotClaimed)
{
    char dir[] = "/tmp/murox-chown-XXXXXX";
    const std::string path = std::string(mkdtemp(dir)) + "/c.ctl";
    BControlSocket socket;
    s_failChown = true;
    const TClaimResult claimed = socket.Claim(path, kGroup);
    s_failChown = false;
    EXPECT_EQ(TClaimResult::kRefused, claimed.outcome);
    EXPECT_THAT(claimed.error, testing::HasSubstr("cannot give the socket group 4242"));
    EXPECT_EQ(-1, socket.Fd());
    EXPECT_EQ(0, rmdir(dir)) << "left behind in " << dir;
}

} // namespace
