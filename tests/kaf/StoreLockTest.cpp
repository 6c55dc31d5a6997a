// The lock that keeps one murox per configuration, and the removal of what a rewrite left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/kaf/StoreControl.h"
#include "tests/kaf/StoreFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using syscall_faults::TCall;
using syscall_faults::TFault;

class StoreLockTest : public StoreTest {
protected:
    bool Lock(BFileNV& store, const std::string& path = "")
    {
        return KAF::LockConfig(m_locks, path.empty() ? m_path : path, store, m_message);
    }
    // The one lock file in the lock directory.
    std::string LockFile()
    {
        const TNames names = Names(m_locks);
        return names.size() == 1 ? m_locks + "/" + *names.begin() : std::string();
    }
    // The configuration's lock file, made by a lock since let go of.
    std::string MadeLockFile()
    {
        Write("");
        BFileNV once;
        EXPECT_TRUE(Lock(once)) << m_message;
        return LockFile();
    }
    // Whether another open file could take the lock now.
    bool Free()
    {
        const int fd = open(LockFile().c_str(), O_RDONLY | O_CLOEXEC);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }

    const std::string m_locks = m_dir + "/run";
    std::string m_message;
    const std::string m_byMe = m_path + " is in use by " + program_invocation_short_name + " pid " +
                               std::to_string(getpid());
};

// A reader's lock never blocks the lock, a read or a commit; the lock outlives rewrites.
TEST_F(StoreLockTest, OnlyASecondHolderIsRefusedNotAReaderOfTheFile)
{
    Write("[a]\nk = 1\n");
    const int reader = open(m_path.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(reader, LOCK_EX));
    const mode_t umaskWas = umask(0);
    {
        BFileNV holder, other;
        ASSERT_TRUE(Lock(holder)) << m_message;
        struct stat st;
        ASSERT_EQ(0, stat(m_locks.c_str(), &st));
        EXPECT_EQ(0750u, st.st_mode & 07777) << "made 0750 whatever the umask";
        ASSERT_EQ(0, stat(LockFile().c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        EXPECT_FALSE(Lock(other));
        EXPECT_EQ(m_byMe, m_message);
        EXPECT_TRUE(Lock(holder)) << "the holder may ask again";
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str())) << holder.LastError();
        ASSERT_EQ(1, holder.SetValue(BString("a"), BString("k"), BString("2")));
        ASSERT_EQ(1, holder.Commit()) << holder.LastError();
        EXPECT_FALSE(Lock(other)) << "a rewrite keeps the lock";
        Write("[a]\nk = 4\n", m_path + ".new");
        ASSERT_EQ(0, rename((m_path + ".new").c_str(), m_path.c_str()));
        EXPECT_FALSE(Lock(other)) << "so does a file put in place by hand";
        ASSERT_EQ(0, symlink("murox.conf", (m_dir + "/link.conf").c_str()));
        EXPECT_FALSE(Lock(other, m_dir + "/link.conf")) << "and a link to the file";
        EXPECT_EQ(m_dir + "/link.conf" + m_byMe.substr(m_path.size()), m_message);
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str())) << holder.LastError();
        EXPECT_FALSE(Free());
        // Another file of the same directory has a lock of its own.
        Write("", m_dir + "/other.conf");
        EXPECT_TRUE(Lock(other, m_dir + "/other.conf")) << m_message;
    }
    umask(umaskWas);
    close(reader);
    EXPECT_EQ(2u, Names(m_locks).size());
    BFileNV other;
    EXPECT_TRUE(Lock(other)) << "the store lets go when it ends: " << m_message;
    // Locking another file lets go of the first.
    ASSERT_TRUE(Lock(other, m_dir + "/other.conf"));
    BFileNV third;
    EXPECT_TRUE(Lock(third)) << m_message;
}

TEST_F(StoreLockTest, RefusesALockDirectoryOrFileThatIsNotItsOwn)
{
    Write("");
    BFileNV store;
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_FALSE(Lock(store, fifo));
    EXPECT_EQ("cannot lock '" + fifo + "': not a regular file", m_message);
    EXPECT_FALSE(Lock(store, fifo + ".none"));
    EXPECT_EQ("cannot lock '" + fifo + ".none': No such file or directory", m_message);

    const std::string prefix = "cannot lock '" + m_path + "': the lock directory " + m_locks;
    ASSERT_EQ(0, mkdir(m_locks.c_str(), 0700));
    for (const char* mode : {"0770", "0703"}) {
        ASSERT_EQ(0, chmod(m_locks.c_str(), std::stoul(mode, nullptr, 8)));
        EXPECT_FALSE(Lock(store));
        EXPECT_EQ(prefix + " may be written by others (mode " + mode + ")", m_message);
    }
    ASSERT_EQ(0, rmdir(m_locks.c_str()));
    ASSERT_EQ(0, mkdir((m_dir + "/elsewhere").c_str(), 0700));
    ASSERT_EQ(0, symlink("elsewhere", m_locks.c_str()));
    EXPECT_FALSE(Lock(store));
    EXPECT_EQ("cannot lock '" + m_path + "': cannot open the lock directory " + m_locks +
                  ": not a directory",
              m_message);
    ASSERT_EQ(0, unlink(m_locks.c_str()));
    EXPECT_EQ(TNames{}, Names(m_dir + "/elsewhere"));

    // A lock file that is a link, or not the user's, is not used.
    const std::string lockFile = MadeLockFile();
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    ASSERT_EQ(0, symlink((m_dir + "/elsewhere/x").c_str(), lockFile.c_str()));
    EXPECT_FALSE(Lock(store));
    EXPECT_EQ(0u, m_message.find("cannot lock '" + m_path + "': cannot open the lock file "))
        << m_message;
    EXPECT_EQ(TNames{}, Names(m_dir + "/elsewhere")) << "the link is not followed";
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    if (geteuid() != 0)
        return;
    Write("", lockFile);
    ASSERT_EQ(0, chown(lockFile.c_str(), 1, 1));
    EXPECT_FALSE(Lock(store));
    EXPECT_EQ("cannot lock '" + m_path + "': the lock file " + lockFile.substr(m_locks.size() + 1) +
                  " is not a regular file of this user's",
              m_message);
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    ASSERT_EQ(0, chown(m_locks.c_str(), 1, 1));
    EXPECT_FALSE(Lock(store));
    EXPECT_EQ(prefix + " belongs to uid 1, not to this user", m_message);
}

// A daemon's lock names the socket to use instead, and a program name that would act on a
// terminal is shown as text; only an flock on this lock file counts.
TEST_F(StoreLockTest, NamesTheHolder)
{
    const std::string lockFile = MadeLockFile();
    const std::string odd = m_dir + "/fl\x1b]0;x\x07\xe2\x80\xaeock";
    ASSERT_EQ(0, symlink("/usr/bin/flock", odd.c_str()));
    BFileNV other;
    // Run as "PROGRAM -o LOCK sh -c 'read x' ARGS...", told as "in use by NAME pid N[SERVING]".
    struct THolder {
        std::string program;
        std::vector<const char*> args;
        std::string name, serving;
    };
    const std::string remote = "): use murox --remote";
    const THolder holders[] = {{"flock",
                                {"/usr/sbin/murox", "--daemon", "--socket", "/run/a.ctl"},
                                "murox",
                                " (a daemon serving /run/a.ctl" + remote},
                               {"flock",
                                {"/usr/sbin/murox", "--daemon", "--socket=/run/\x1b[2Jb.ctl"},
                                "murox",
                                " (a daemon serving /run/\\x1b[2Jb.ctl" + remote},
                               {"flock",
                                {"/usr/sbin/murox", "--daemon"},
                                "murox",
                                " (a daemon serving its default socket" + remote},
                               {"flock", {"/usr/sbin/murox", "-e", "--daemon"}, "murox", ""},
                               {odd, {}, "fl\\x1b]0;x\\x07\\xe2\\x80\\xaeock", ""}};
    for (const THolder& holder : holders) {
        int input[2];
        ASSERT_EQ(0, pipe2(input, O_CLOEXEC));
        std::vector<const char*> argv = {
            holder.program.c_str(), "-o", lockFile.c_str(), "sh", "-c", "read x"};
        argv.insert(argv.end(), holder.args.begin(), holder.args.end());
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(input[0], 0);
            execvp(argv[0], const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(input[0]);
        for (int tenths = 0; tenths < 100 && Free(); ++tenths)
            usleep(100000);
        // Newer locks, listed first: a record lock here, an flock elsewhere.
        const int record = open(lockFile.c_str(), O_RDONLY),
                  elsewhere = open(m_path.c_str(), O_RDONLY);
        struct flock range = {};
        range.l_type = F_RDLCK;
        EXPECT_TRUE(fcntl(record, F_SETLK, &range) == 0 && flock(elsewhere, LOCK_EX) == 0);
        EXPECT_FALSE(Lock(other));
        EXPECT_EQ(m_path + " is in use by " + holder.name + " pid " + std::to_string(pid) +
                      holder.serving,
                  m_message);
        close(record);
        close(elsewhere);
        close(input[1]); // ends the shell, which has no other writer
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        // The holder's child shares the lock until it closes its copy: look once the lock is free.
        for (int tenths = 0; tenths < 100 && !Free(); ++tenths)
            usleep(100000);
        ASSERT_TRUE(Free()) << "the lock outlived its holder";
    }
}

// Where /proc hides the holder, its lock file names it, under the holder's own pid only.
TEST_F(StoreLockTest, NamesAHolderThatProcHides)
{
    const std::string lockFile = MadeLockFile();
    const std::string commandLine = Contents("/proc/self/cmdline");
    const char kDaemon[] = "\0/usr/sbin/murox\0--daemon\0--socket\0/run/earlier.ctl";
    std::ofstream(lockFile, std::ios::binary)
        << "1\n" + std::string(commandLine.size() + 64, 'x') + std::string(kDaemon, sizeof kDaemon);
    BFileNV holder;
    ASSERT_TRUE(Lock(holder)) << m_message;
    EXPECT_EQ(std::to_string(getpid()) + '\n' + commandLine, Contents(lockFile));
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding /proc's entries takes root";
    for (const bool forged : {false, true}) {
        if (forged) {
            // Another pid's record, as left by an earlier holder.
            const int fd = open(lockFile.c_str(), O_WRONLY | O_TRUNC);
            ASSERT_EQ(19, write(fd, "1\n/usr/sbin/murox\0--daemon", 19));
            close(fd);
        }
        int answer[2];
        ASSERT_EQ(0, pipe(answer));
        const pid_t child = fork();
        if (child == 0) {
            // A /proc hiding what it cannot trace, no capability, another group than the holder's.
            __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct none[2] = {};
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, "hidepid=invisible") != 0)
                _exit(77);
            if (setgid(65534) != 0 || syscall(SYS_capset, &header, none) != 0)
                _exit(1);
            const std::string seen =
                access(("/proc/" + std::to_string(getppid())).c_str(), F_OK) == 0 ? "visible"
                                                                                  : "hidden";
            BFileNV other;
            std::string message;
            KAF::LockConfig(m_locks, m_path, other, message);
            message = seen + ' ' + message;
            _exit(write(answer[1], message.data(), message.size()) > 0 ? 0 : 1);
        }
        close(answer[1]);
        char text[512] = {};
        const ssize_t n = read(answer[0], text, sizeof text - 1);
        close(answer[0]);
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no /proc of its own can be mounted here";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && n > 0);
        EXPECT_EQ("hidden " +
                      (forged ? m_path + " is in use by process pid " + std::to_string(getpid())
                              : m_byMe),
                  std::string(text, static_cast<std::size_t>(n)));
    }
}

// Only the user's own regular files named as this file's temporaries are taken for leftovers.
TEST_F(StoreLockTest, RemovesWhatAnInterruptedRewriteLeftAndNothingElse)
{
    Write("[a]\n");
    const std::string left = m_path + ".tmp-0123456789abcdef";
    const std::vector<std::string> kept = {
        m_path + ".tmp-0123456789abcdeF", m_path + ".tmp-0123456789abcde",
        m_path + ".tmp-0123456789abcdef0", m_dir + "/other.conf.tmp-0123456789abcdef",
        m_path + ".tmp"};
    Write("left", left);
    Write("left", m_path + ".tmp-fedcba9876543210");
    for (const std::string& name : kept)
        Write("", name);
    const std::string dir = m_path + ".tmp-00000000000000d1",
                      link = m_path + ".tmp-000000000000001e";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    ASSERT_EQ(0, symlink(m_path.c_str(), link.c_str()));
    std::string error;
    ASSERT_EQ(0, symlink("murox.conf", (m_dir + "/link.conf").c_str()));
    EXPECT_EQ(2, KAF::RemoveLeftoverTemporaries(m_dir + "/link.conf", error)) << error;
    TNames expected = {"murox.conf", "link.conf", fs::path(dir).filename(),
                       fs::path(link).filename()};
    for (const std::string& name : kept)
        expected.insert(fs::path(name).filename());
    EXPECT_EQ(expected, Names(m_dir));
    EXPECT_EQ(0, KAF::RemoveLeftoverTemporaries(m_path, error));
    EXPECT_EQ(-1, KAF::RemoveLeftoverTemporaries(m_dir + "/none.conf", error));
    EXPECT_EQ("No such file or directory", error);
    if (geteuid() != 0)
        return;
    Write("", left);
    ASSERT_EQ(0, chown(left.c_str(), 1, 1));
    EXPECT_EQ(0, KAF::RemoveLeftoverTemporaries(m_path, error)) << "another user's is left";
    EXPECT_TRUE(fs::exists(left));
}

// A leftover that cannot be removed is said, by its name, and stays until it can be; a directory
// that cannot be read is said, not taken for one without leftovers.
TEST_F(StoreLockTest, ALeftoverThatCannotBeRemovedOrFoundIsSaid)
{
    const std::string stuck = "murox.conf.tmp-0123456789abcdef";
    Write("[a]\n");
    Write("left", m_dir + "/" + stuck);
    struct TFailure {
        TCall call;
        syscall_faults::THook hook;
        std::string error;
    };
    const TFailure failures[] = {
        {TCall::kUnlinkat,
         [&](int, const char* szName, int) { return stuck == szName ? EROFS : 0; },
         "cannot remove " + stuck + ": Read-only file system"},
        {TCall::kReaddir, syscall_faults::Failing(EIO), "Input/output error"}};
    std::string error;
    for (const TFailure& failure : failures) {
        {
            const TFault fault(failure.call, failure.hook);
            EXPECT_EQ(-1, KAF::RemoveLeftoverTemporaries(m_path, error));
            EXPECT_EQ(1, fault.Calls());
        }
        EXPECT_EQ(failure.error, error);
        EXPECT_EQ((TNames{"murox.conf", stuck}), Names(m_dir));
    }
    EXPECT_EQ(1, KAF::RemoveLeftoverTemporaries(m_path, error)) << error;
    EXPECT_EQ(TNames{"murox.conf"}, Names(m_dir));
}

// A lock file removed or replaced before its lock is locked again by name: a second holder fails.
TEST_F(StoreLockTest, ALockFileGoneFromItsNameBeforeItIsLockedIsNotTrusted)
{
    Write("");
    {
        BFileNV holder, other;
        int seen = 0;
        {
            const TFault fault(TCall::kFlock, [&](int, const char*, int) {
                if (++seen == 1) {
                    const std::string lockFile = LockFile();
                    Write("", m_locks + "/new");
                    EXPECT_EQ(0, rename((m_locks + "/new").c_str(), lockFile.c_str()));
                } else if (seen == 2) {
                    EXPECT_EQ(0, unlink(LockFile().c_str()));
                }
                return 0;
            });
            ASSERT_TRUE(Lock(holder)) << m_message;
            EXPECT_EQ(3, seen);
        }
        EXPECT_FALSE(Lock(other));
        EXPECT_EQ(m_byMe, m_message);
    }
    BFileNV third;
    const TFault fault(TCall::kFlock, [&](int, const char*, int) {
        EXPECT_EQ(0, unlink(LockFile().c_str()));
        return 0;
    });
    EXPECT_FALSE(Lock(third));
    EXPECT_LE(fault.Calls(), 16) << "bounded";
    EXPECT_EQ("cannot lock '" + m_path + "': its lock file is removed again and again", m_message);
}

} // namespace
