// The history and the key bindings are used only as the user's own regular files, writable by no
// one else, in the user's own directory that no one else may write.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/console/HistoryFile.h"
#include "tests/support/ChildSays.h"
#include "tests/support/Scratch.h"
#include "tests/support/SystemCallFaults.h"

namespace {

const uid_t kNobody = 65534;

class HistoryFileTest : public ::testing::Test {
protected:
    static void Write(const std::string& path, const std::string& text)
    {
        std::ofstream(path) << text;
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream file(path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // Opens the history; a FIFO's open is bounded by an alarm that fails the test.
    BFd Open(std::string& problem) const
    {
        alarm(10);
        BFd fd = OpenHistoryFile(m_path, problem);
        alarm(0);
        return fd;
    }

    const testsupport::TScratchDir m_scratch;
    const std::string m_home = m_scratch.Path();
    std::string m_path = m_home + "/.murox_history";
};

TEST_F(HistoryFileTest, TheUsersOwnFileIsOpenedOrMadePrivate)
{
    std::string problem;
    {
        const BFd made = Open(problem);
        ASSERT_TRUE(made.Valid()) << problem;
        struct stat status {};
        ASSERT_EQ(0, fstat(made.Get(), &status));
        EXPECT_EQ(0u, status.st_mode & 077);
        EXPECT_EQ(3, write(made.Get(), "abc", 3));
    }
    chmod(m_path.c_str(), 0644); // others may read it, as the user chose
    const BFd again = Open(problem);
    ASSERT_TRUE(again.Valid()) << problem;
    char buffer[8] = {};
    EXPECT_EQ(3, read(again.Get(), buffer, sizeof buffer));
    EXPECT_EQ("abc", std::string(buffer));
}

TEST_F(HistoryFileTest, ALinkAFifoOrAFileOthersMayWriteIsNotUsed)
{
    const std::string target = m_home + "/target";
    ASSERT_EQ(0, symlink(target.c_str(), m_path.c_str()));
    std::string problem;
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_EQ("it is a symbolic link", problem);
    EXPECT_NE(0, access(target.c_str(), F_OK)) << "the link was followed";

    unlink(m_path.c_str());
    ASSERT_EQ(0, mkfifo(m_path.c_str(), 0600));
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_EQ("it is not a regular file", problem);

    unlink(m_path.c_str());
    Write(m_path, "theirs");
    for (const mode_t mode : {0620, 0602}) {
        chmod(m_path.c_str(), mode);
        EXPECT_FALSE(Open(problem).Valid()) << std::oct << mode;
        EXPECT_EQ("others may write it", problem);
    }
    EXPECT_EQ("theirs", Read(m_path));
    // Key bindings that are not there are none, and not made; nothing is used in a directory others
    // may write.
    EXPECT_FALSE(OpenKeyBindings(m_home + "/.editrc", problem).Valid());
    EXPECT_EQ("", problem);
    EXPECT_NE(0, access((m_home + "/.editrc").c_str(), F_OK));
    ASSERT_EQ(0, chmod(m_home.c_str(), 0775));
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_EQ("others may write its directory", problem);

    m_path = m_home + "/missing/.murox_history";
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_FALSE(problem.empty());
}

// A leased file makes a plain open wait until the lease is given up: the console does not wait.
TEST_F(HistoryFileTest, AFileWhoseOpenWouldWaitIsNotWaitedFor)
{
    Write(m_path, "kept");
    chmod(m_path.c_str(), 0600);
    const BFd holder(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(holder.Valid());
    // The holder is told of the break by SIGIO, which would end the test.
    const sighandler_t previous = signal(SIGIO, SIG_IGN);
    if (fcntl(holder.Get(), F_SETLEASE, F_RDLCK) != 0) {
        signal(SIGIO, previous);
        GTEST_SKIP() << "no leases here: " << std::strerror(errno);
    }
    std::string problem;
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_FALSE(problem.empty());
    fcntl(holder.Get(), F_SETLEASE, F_UNLCK);
    signal(SIGIO, previous);
    EXPECT_EQ("kept", Read(m_path));
}

// OpenHistoryFile as nobody.
std::string ProblemAsNobody(const std::string& path)
{
    return testsupport::ChildSays([&]() -> std::string {
        if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(2);
        std::string problem;
        const BFd fd = OpenHistoryFile(path, problem);
        return fd.Valid() ? "opened" : problem;
    });
}

// Root with another user's $HOME: nothing of that user's is used, and nothing is made there; nor
// does the user's console use a history of root's there, even where it could write it.
TEST_F(HistoryFileTest, AnotherUsersFileOrDirectoryIsNotUsed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Write(m_path, "theirs");
    chmod(m_path.c_str(), 0600);
    ASSERT_EQ(0, chown(m_path.c_str(), kNobody, kNobody));
    std::string problem;
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_EQ("it belongs to uid 65534, not to this user", problem);

    unlink(m_path.c_str());
    ASSERT_EQ(0, chown(m_home.c_str(), kNobody, kNobody));
    EXPECT_FALSE(Open(problem).Valid());
    EXPECT_EQ("its directory belongs to uid 65534, not to this user", problem);
    EXPECT_NE(0, access(m_path.c_str(), F_OK));

    Write(m_path, "root's");
    // Others may write it too, but what decides is its owner.
    chmod(m_path.c_str(), 0666);
    EXPECT_EQ("it belongs to uid 0, not to this user", ProblemAsNobody(m_path));
    EXPECT_EQ("root's", Read(m_path));
    // Nor a directory of root's that the user may write, as /tmp.
    unlink(m_path.c_str());
    ASSERT_EQ(0, chown(m_home.c_str(), 0, 0));
    ASSERT_EQ(0, chmod(m_home.c_str(), 01777));
    EXPECT_EQ("its directory belongs to uid 0, not to this user", ProblemAsNobody(m_path));
    EXPECT_NE(0, access(m_path.c_str(), F_OK));
}

// A file planted at the name between the look and the create is not taken for the history: the
// race is made certain by standing in for openat.
TEST_F(HistoryFileTest, AFileThatAppearsAsTheHistoryIsMadeIsNotUsed)
{
    const std::string notes = m_home + "/notes";
    Write(notes, "mine\n");
    ASSERT_EQ(0, chmod(notes.c_str(), 0600));
    std::string problem;
    const syscall_faults::TFault race(syscall_faults::TCall::kOpenat,
                                      [&](int, const char*, int flags) {
                                          if ((flags & O_CREAT) != 0)
                                              link(notes.c_str(), m_path.c_str());
                                          return 0;
                                      });
    EXPECT_FALSE(Open(problem).Valid()) << "another file was taken for the history";
    EXPECT_EQ(std::strerror(EEXIST), problem);
    EXPECT_EQ("mine\n", Read(notes));
}

} // namespace
