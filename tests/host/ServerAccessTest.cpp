// Who the control server lets in, with connections from processes of other users (so, as root).
// The claim's failure comes from standing in for the C library's fchownat.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/server/OutputWait.h"
#include "tests/host/ServerFixture.h"

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

class ServerAccessTest : public ServerFixture {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "connecting as another user needs root";
        // Others pass through; the socket's own mode and group decide.
        ASSERT_EQ(0, chmod(m_dir.Path().c_str(), 0711));
        ASSERT_EQ(0, mkdir((m_dir.Path() + "/run").c_str(), 0755));
        Start(m_path, kGroup);
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
        int status = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            m_pServer->Turn(m_runner, 10);
        std::string frame(control::kHeaderSize + 4096, '\0');
        frame.resize(ReadFully(report[0], &frame[0], frame.size()));
        close(report[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return frame.size() < control::kHeaderSize ? frame
                                                   : frame.erase(1, control::kHeaderSize - 1);
    }
    void Fill(std::size_t count)
    {
        while (count-- > 0)
            Attach();
    }
    static std::string Greeting()
    {
        return std::string(1, control::kHello) + control::kGreeting + " " +
               std::to_string(getpid()) + " " + MUROX_VERSION;
    }
    static std::string Refused(gid_t group)
    {
        return std::string(1, control::kFarewell) +
               "murox: access refused: uid 65534 is not root, the daemon's user or a member of "
               "group " +
               std::to_string(group) + "\n";
    }

    const std::string m_path = m_dir.Path() + "/run/c.ctl";
};

// A new socket group lets its members in and keeps the old one's out, telling them the group; the
// server's part of "status" says where it serves and how many it refused.
TEST_F(ServerAccessTest, TheSocketsGroupIsReadAgainAtEachConnection)
{
    TDaemonStatus status;
    m_pServer->FillStatus(status);
    EXPECT_TRUE(status.daemon);
    EXPECT_EQ(m_path, status.socket);
    EXPECT_EQ(0U, status.consoles);
    EXPECT_EQ(0U, status.refusals);
    EXPECT_EQ(0U, status.eventsDropped);
    struct stat info {};
    ASSERT_EQ(0, stat(m_path.c_str(), &info));
    EXPECT_EQ(kGroup, info.st_gid);
    // Opened to all: the server, not the file's mode, turns away whoever is not in the group.
    ASSERT_EQ(0, chmod(m_path.c_str(), 0666));
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kGroup));
    EXPECT_EQ(Refused(kGroup), FirstFrame(kNobody, kOtherGroup));
    ASSERT_EQ(0, chown(m_path.c_str(), static_cast<uid_t>(-1), kOtherGroup));
    EXPECT_EQ(kOtherGroup, m_socket.Group());
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kOtherGroup));
    EXPECT_EQ(Refused(kOtherGroup), FirstFrame(kNobody, kGroup));
    m_pServer->FillStatus(status);
    EXPECT_EQ(2U, status.refusals);
}

// With every place taken, one more is kept for root or the daemon's user (here not root), group or
// not, and not for group members. "status" counts the consoles served, until one is seen to leave,
// the records its log lost, and its uptime from when it was made.
TEST_F(ServerAccessTest, TheLastPlaceIsKeptForTheAdministrator)
{
    const uid_t kDaemonUser = 4444;
    const std::size_t most = BControlServer::kMaxClients;
    TRecordingOutput log;
    log.dropped = 17;
    m_pServer.reset();
    const long long before = MonotonicMs();
    ASSERT_EQ(0, seteuid(kDaemonUser));
    m_pServer.reset(new BControlServer(m_socket, -1, &log, m_limits));
    ASSERT_EQ(0, seteuid(0));
    const long long after = MonotonicMs();
    // The daemon's own socket, as when it claims it.
    ASSERT_EQ(0, chown(m_path.c_str(), kDaemonUser, static_cast<gid_t>(-1)));
    Fill(most);
    TDaemonStatus status;
    m_pServer->FillStatus(status);
    EXPECT_EQ(most, status.consoles);
    m_peers.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (status.consoles == most && std::chrono::steady_clock::now() < deadline) {
        m_pServer->Turn(m_runner, 10);
        m_pServer->FillStatus(status);
    }
    EXPECT_EQ(most - 1, status.consoles);
    // Each process here leaves once it has its first frame.
    EXPECT_EQ(Greeting(), FirstFrame(kNobody, kGroup));
    Fill(1);
    EXPECT_EQ(std::string(1, control::kFarewell) + "murox: no room: too many consoles (" +
                  std::to_string(most) + "); try again later\n",
              FirstFrame(kNobody, kGroup));
    EXPECT_EQ(Greeting(), FirstFrame(kDaemonUser, kOtherGroup));
    EXPECT_EQ(Greeting(), FirstFrame(0, kOtherGroup));
    while (MonotonicMs() <= after)
        usleep(1000);
    m_pServer->FillStatus(status);
    EXPECT_EQ(17U, status.eventsDropped);
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
