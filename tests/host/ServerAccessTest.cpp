// Who the control server lets in, with connections from processes of other users (so, as root);
// the socket, claimed whole or not at all, and removed at the stop if it is still the daemon's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/host/ServerFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

const gid_t kGroup = 4242;
const gid_t kOtherGroup = 4343;
const uid_t kNobody = 65534;

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
    // The first frame sent to a connection made as `uid` with only `group` (the kernel takes the
    // peer's ids and groups as they are at connect()), its type and payload; it stays connected.
    std::string FirstFrame(uid_t uid, gid_t group)
    {
        sockaddr_un address{};
        EXPECT_TRUE(control::SocketAddress(m_path, address));
        BFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        gid_t groups[64];
        const int count = getgroups(64, groups);
        EXPECT_EQ(0, setgroups(1, &group));
        EXPECT_EQ(0, setegid(group));
        EXPECT_EQ(0, seteuid(uid));
        EXPECT_EQ(0,
                  connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, seteuid(0));
        EXPECT_EQ(0, setegid(0));
        EXPECT_EQ(0, setgroups(static_cast<std::size_t>(count), groups));
        const std::vector<control::TFrame> frames = AllFrames(fd.Get());
        m_read.erase(fd.Get());
        m_peers.push_back(std::move(fd));
        return frames.empty() ? std::string() : frames[0].type + frames[0].payload;
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
    TDaemonStatus status;
    m_pServer->FillStatus(status);
    EXPECT_TRUE(status.daemon);
    EXPECT_EQ(m_path, status.socket);
    EXPECT_EQ(2U, status.refusals);
}

// One user holds at most 16 places, told why beyond; with every place of the others taken, root's
// and the daemon's user's (here not root) are still theirs, group or not. "status" counts the
// consoles served, until one is seen to leave, the records its log lost, and its uptime.
TEST_F(ServerAccessTest, NoUserTakesEveryPlaceAndTheAdministratorsKeepTheirs)
{
    const uid_t kDaemonUser = 4444;
    const std::size_t most = BControlServer::kMaxClients;
    TRecordingOutput log;
    log.dropped = 17;
    m_pServer.reset();
    {
        syscall_faults::TFrozenClock clock({1000, 0}, CLOCK_MONOTONIC);
        ASSERT_EQ(0, seteuid(kDaemonUser));
        m_pServer.reset(new BControlServer(m_socket, -1, &log, m_limits));
        ASSERT_EQ(0, seteuid(0));
    }
    // The daemon's own socket, as when it claims it.
    ASSERT_EQ(0, chown(m_path.c_str(), kDaemonUser, static_cast<gid_t>(-1)));
    for (std::size_t i = 0; i < BControlServer::kMaxPerUser; ++i)
        ASSERT_EQ(Greeting(), FirstFrame(kNobody, kGroup)) << i;
    const std::string noRoom =
        std::string(1, control::kFarewell) + "murox: no room: too many consoles";
    EXPECT_EQ(noRoom + " of uid 65534 (16); try again later\n", FirstFrame(kNobody, kGroup));
    for (std::size_t i = BControlServer::kMaxPerUser; i < most; ++i)
        Attach(0, false, static_cast<uid_t>(5000 + i / BControlServer::kMaxPerUser));
    TDaemonStatus status;
    m_pServer->FillStatus(status);
    EXPECT_EQ(most, status.consoles);
    m_peers.pop_back();
    for (int turn = 0; turn < 1000 && status.consoles == most; ++turn) {
        m_pServer->Turn(m_runner, 10);
        m_pServer->FillStatus(status);
    }
    EXPECT_EQ(most - 1, status.consoles);
    EXPECT_EQ(Greeting(), FirstFrame(4445, kGroup));
    EXPECT_EQ(noRoom + " (256); try again later\n", FirstFrame(4446, kGroup));
    for (const uid_t administrator : {kDaemonUser, uid_t{0}})
        for (std::size_t i = 0; i < BControlServer::kMaxPerUser + 1; ++i)
            ASSERT_EQ(Greeting(), FirstFrame(administrator, kOtherGroup)) << administrator;
    syscall_faults::TFrozenClock later({1005, 0}, CLOCK_MONOTONIC);
    m_pServer->FillStatus(status);
    EXPECT_EQ(17U, status.eventsDropped);
    EXPECT_EQ(1000000, status.startedMs);
    EXPECT_EQ(1005000, status.nowMs);
}

// A socket that cannot be given its group is not served, and leaves nothing behind. At the stop the
// socket goes, but not another one standing at its name by then (a newer daemon's).
TEST(ControlSocketTest, ASocketIsClaimedWholeAndOnlyItsOwnGoes)
{
    const testsupport::TScratchDir dir;
    const std::string path = dir.Path() + "/c.ctl";
    BControlSocket socket;
    {
        const syscall_faults::TFault noGroup(syscall_faults::TCall::kFchownat,
                                             syscall_faults::Failing(EPERM));
        const TClaimResult claimed = socket.Claim(path, kGroup);
        EXPECT_EQ(TClaimResult::kRefused, claimed.outcome);
        EXPECT_THAT(claimed.error, testing::HasSubstr("cannot give the socket group 4242"));
    }
    EXPECT_EQ(-1, socket.Fd());
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "left behind";
    for (const bool replaced : {false, true}) {
        ASSERT_EQ(TClaimResult::kClaimed, socket.Claim(path, getegid()).outcome);
        const BFd newer =
            replaced && unlink(path.c_str()) == 0 ? testsupport::ListenAt(path) : BFd();
        socket.Release();
        EXPECT_EQ(replaced, std::filesystem::exists(path));
    }
}

} // namespace
