// A console kept from the socket is told what keeps it out: a directory it cannot pass, or a group.
// Root passes every check, so the console runs as another user in a child: the test needs root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/console/BDaemonConnection.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/ChildSays.h"
#include "tests/support/Scratch.h"

namespace {

const uid_t kNobody = 65534;
const gid_t kNoGroup = 65534;
// The socket's group: one nobody is not in unless it is given to it.
const gid_t kSocketGroup = 4321;

class AccessRefusalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(0, chmod(m_dir.Path().c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_run.c_str(), 0755));
        m_listener = testsupport::ListenAt(m_socket);
        ASSERT_TRUE(m_listener.Valid());
        ASSERT_EQ(0, chown(m_socket.c_str(), 0, kSocketGroup));
        ASSERT_EQ(0, chown(m_run.c_str(), 0, kSocketGroup));
    }

    // Why a console of nobody, holding `groups` besides its own, may not connect.
    std::string RefusalAs(const std::vector<gid_t>& groups) const
    {
        return testsupport::ChildSays([&]() -> std::string {
            if (setgroups(groups.size(), groups.data()) != 0 ||
                setresgid(kNoGroup, kNoGroup, kNoGroup) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(2);
            BDaemonConnection connection;
            std::string error;
            // The listener never greets: a console let in would wait for it.
            alarm(30);
            if (connection.Connect(m_socket, error))
                return "connected";
            // The console's status (4) follows this.
            return connection.Refused() ? error : error + " (not taken for a refusal)";
        });
    }

    std::string Lead() const
    {
        return "a daemon may serve " + m_socket + ", but this user may not use it: ";
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_run = m_dir.Path() + "/run";
    const std::string m_socket = m_run + "/murox.ctl";
    BFd m_listener;
};

TEST_F(AccessRefusalTest, ADirectoryThatCanBeListedButNotPassedIsNamed)
{
    ASSERT_EQ(0, chmod(m_run.c_str(), 0754));
    ASSERT_EQ(0, chmod(m_socket.c_str(), 0660));
    EXPECT_EQ(Lead() + "its directory " + m_run + " (uid 0, group " + std::to_string(kSocketGroup) +
                  ", mode 0754) does not let this user through; it must let the socket's group in",
              RefusalAs({}));
}

TEST_F(AccessRefusalTest, ADirectoryThatCanBePassedButNotListedIsNotBlamed)
{
    ASSERT_EQ(0, chmod(m_run.c_str(), 0711));
    ASSERT_EQ(0, chmod(m_socket.c_str(), 0640));
    // A member kept out by the socket's mode.
    EXPECT_EQ(Lead() + "this user is in the socket's group, but the socket (uid 0, group " +
                  std::to_string(kSocketGroup) + ", mode 0640) does not let its group write",
              RefusalAs({kSocketGroup}));
    // A stranger kept out by the group.
    EXPECT_EQ(Lead() + "access needs membership of the socket's group (ls -l " + m_socket +
                  " names it)",
              RefusalAs({}));
}

} // namespace
