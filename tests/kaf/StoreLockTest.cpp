// The lock that keeps one murox per configuration, and the removal of what a rewrite left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <tuple>
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
#include "tests/support/ChildSays.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using syscall_faults::TCall;
using syscall_faults::TFault;

class StoreLockTest : public StoreTest {
protected:
    // What a lock for `store` is told: "locked", or why not.
    std::string Lock(BFileNV& store, const std::string& path = "", bool oneName = false)
    {
        const KAF::TLockPlace place{m_locks, static_cast<gid_t>(-1), oneName};
        const bool locked = KAF::LockConfig(place, path.empty() ? m_path : path, store, m_message);
        return locked ? "locked" : m_message;
    }
    TNames LockFiles() const { return fs::exists(m_locks) ? Names(m_locks) : TNames{}; }
    // The configuration's lock file for its name, made by a lock since let go of, made again.
    std::string MadeLockFile()
    {
        Write("");
        {
            BFileNV once;
            EXPECT_EQ("locked", Lock(once));
            for (const std::string& name : LockFiles())
                m_lockFile = name.rfind("config-", 0) == 0 ? m_locks + "/" + name : m_lockFile;
        }
        Write("", m_lockFile);
        return m_lockFile;
    }
    // Whether another open file could take that lock now.
    bool Free()
    {
        const int fd = open(m_lockFile.c_str(), O_RDONLY | O_CLOEXEC);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }

    const std::string m_locks = m_dir + "/run";
    std::string m_lockFile;
    std::string m_message;
    const std::string m_inUse = std::string(" is in use by ") + program_invocation_short_name +
                                " pid " + std::to_string(getpid());
    const std::string m_byMe = m_path + m_inUse;
};

// The file open in `fd`.
std::string PathOf(int fd)
{
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
}

// A reader's lock never blocks the lock, a read or a commit; the lock outlives rewrites. A lock
// file replaced or removed before its flock is locked again by name, a bounded number of times.
TEST_F(StoreLockTest, OnlyASecondHolderIsRefusedNotAReaderOfTheFile)
{
    Write("[a]\nk = 1\n");
    const int reader = open(m_path.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(reader, LOCK_EX));
    const mode_t umaskWas = umask(0);
    {
        BFileNV never;
        const TFault fault(TCall::kFlock, [&](int fd, const char*, int) {
            EXPECT_EQ(0, unlink(PathOf(fd).c_str()));
            return 0;
        });
        EXPECT_EQ("cannot lock '" + m_path + "': its lock file is removed again and again",
                  Lock(never));
        EXPECT_LE(fault.Calls(), 16) << "bounded";
    }
    {
        BFileNV holder, other;
        int seen = 0;
        {
            const TFault fault(TCall::kFlock, [&](int fd, const char*, int) {
                const std::string lockFile = PathOf(fd);
                if (++seen == 1) {
                    Write("", m_locks + "/new");
                    EXPECT_EQ(0, rename((m_locks + "/new").c_str(), lockFile.c_str()));
                } else if (seen == 2) {
                    EXPECT_EQ(0, unlink(lockFile.c_str()));
                }
                return 0;
            });
            ASSERT_EQ("locked", Lock(holder));
            EXPECT_EQ(4, seen) << "the name's lock at the third try, the file's at once";
        }
        struct stat dir, file;
        ASSERT_EQ(2u, LockFiles().size());
        ASSERT_TRUE(stat(m_locks.c_str(), &dir) == 0 &&
                    stat((m_locks + "/" + *LockFiles().begin()).c_str(), &file) == 0);
        EXPECT_EQ(0750u, dir.st_mode & 07777) << "made 0750 whatever the umask";
        EXPECT_EQ(0600u, file.st_mode & 07777);
        EXPECT_EQ(m_byMe, Lock(other));
        EXPECT_EQ("locked", Lock(holder)) << "the holder may ask again";
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str())) << holder.LastError();
        ASSERT_EQ(1, holder.SetValue(BString("a"), BString("k"), BString("2")));
        ASSERT_EQ(1, holder.Commit()) << holder.LastError();
        EXPECT_EQ(m_byMe, Lock(other)) << "a rewrite keeps the lock";
        Write("[a]\nk = 4\n", m_path + ".new");
        ASSERT_EQ(0, rename((m_path + ".new").c_str(), m_path.c_str()));
        EXPECT_EQ(m_byMe, Lock(other)) << "so does a file put in place by hand";
        ASSERT_EQ(0, symlink("murox.conf", (m_dir + "/link.conf").c_str()));
        EXPECT_EQ(m_dir + "/link.conf" + m_byMe.substr(m_path.size()),
                  Lock(other, m_dir + "/link.conf"));
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str())) << holder.LastError();
        EXPECT_EQ(m_byMe, Lock(other));
        // Another file of the same directory has a lock of its own.
        Write("", m_dir + "/other.conf");
        EXPECT_EQ("locked", Lock(other, m_dir + "/other.conf"));
    }
    umask(umaskWas);
    close(reader);
    EXPECT_EQ(TNames{}, LockFiles()) << "a store that ends removes its lock files";
    BFileNV other, third;
    EXPECT_EQ("locked", Lock(other)) << "the store lets go when it ends";
    // Locking another file lets go of the first.
    ASSERT_EQ("locked", Lock(other, m_dir + "/other.conf"));
    EXPECT_EQ("locked", Lock(third));
}

// One holder per file, whatever its names: a link re-pointed takes the lock along at the next read,
// and one whose new file another holds is refused, the locks kept; a hard link shares the file's
// lock, which a rewrite moves to the file it makes. Root's daemon takes no file of two names.
TEST_F(StoreLockTest, OneHolderPerFileWhateverItsNames)
{
    const std::string a = m_dir + "/a.conf", b = m_dir + "/b.conf", link = m_dir + "/link.conf",
                      hard = m_dir + "/hard.conf", split = m_dir + "/split.conf";
    Write("[a]\n", a);
    Write("[b]\n", b);
    ASSERT_EQ(0, symlink("a.conf", link.c_str()));
    BFileNV holder, other, third;
    ASSERT_EQ(1, holder.ReadFile(link.c_str()));
    ASSERT_EQ("locked", Lock(holder, link));
    ASSERT_TRUE(unlink(link.c_str()) == 0 && symlink("b.conf", link.c_str()) == 0);
    ASSERT_EQ(1, holder.ReadFile(link.c_str())) << holder.LastError();
    EXPECT_EQ(link + m_inUse, Lock(other, link));
    ASSERT_EQ(0, ::link(b.c_str(), hard.c_str()));
    EXPECT_EQ(hard + m_inUse, Lock(other, hard));
    EXPECT_THAT(Lock(other, hard, true),
                testing::StartsWith("cannot lock '" + hard + "': it has 2 names (hard links)"));
    ASSERT_TRUE(holder.SetValue(BString("b"), BString("k"), BString("1")) && holder.Commit());
    EXPECT_EQ("locked", Lock(third, hard)) << "the rewrite split the link: the old file is free";
    ASSERT_EQ(0, ::link(b.c_str(), split.c_str()));
    EXPECT_EQ(split + m_inUse, Lock(other, split)) << "the new file is the holder's";
    ASSERT_EQ("locked", Lock(other, a)) << "let go of as the link was followed";
    ASSERT_TRUE(unlink(link.c_str()) == 0 && symlink("a.conf", link.c_str()) == 0);
    EXPECT_EQ(0, holder.ReadFile(link.c_str()));
    EXPECT_EQ(link + m_inUse, std::string(holder.LastError()));
    EXPECT_EQ(b + m_inUse, Lock(third, b)) << "the locks held are kept";
    EXPECT_EQ(6u, LockFiles().size()) << "two a file, none left by those let go of";
}

// Two configurations share a lock only when they are one file: the same name in the same directory
// of the same file system. Inode numbers repeat across file systems: the roots of two tmpfs.
TEST_F(StoreLockTest, ConfigurationsOnTwoFileSystemsHaveLocksOfTheirOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting takes root";
    const std::string said = testsupport::ChildSays([this] {
        const std::string a = m_dir + "/a", b = m_dir + "/b";
        struct stat rootA, rootB;
        if (!testsupport::OwnMounts() || mkdir(a.c_str(), 0700) != 0 ||
            mkdir(b.c_str(), 0700) != 0 || mount("none", a.c_str(), "tmpfs", 0, nullptr) != 0 ||
            mount("none", b.c_str(), "tmpfs", 0, nullptr) != 0 || stat(a.c_str(), &rootA) != 0 ||
            stat(b.c_str(), &rootB) != 0 || rootA.st_ino != rootB.st_ino)
            return std::string("no two file systems whose roots share an inode number");
        Write("", a + "/murox.conf");
        Write("", b + "/murox.conf");
        BFileNV first, second;
        return Lock(first, a + "/murox.conf") + " " + Lock(second, b + "/murox.conf");
    });
    if (said == "no two file systems whose roots share an inode number")
        GTEST_SKIP() << said;
    EXPECT_EQ("locked locked", said);
}

TEST_F(StoreLockTest, RefusesALockDirectoryOrFileThatIsNotItsOwn)
{
    Write("");
    BFileNV store;
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ("cannot lock '" + fifo + "': not a regular file", Lock(store, fifo));
    EXPECT_EQ("cannot lock '" + fifo + ".none': No such file or directory",
              Lock(store, fifo + ".none"));

    const std::string prefix = "cannot lock '" + m_path + "': ";
    const std::string directory = prefix + "the lock directory " + m_locks + " ";
    ASSERT_EQ(0, mkdir(m_locks.c_str(), 0700));
    for (const char* mode : {"0770", "0703"}) {
        ASSERT_EQ(0, chmod(m_locks.c_str(), std::stoul(mode, nullptr, 8)));
        EXPECT_EQ(directory + "is writable by others (mode " + mode + "): chmod go-w " + m_locks,
                  Lock(store));
    }
    ASSERT_EQ(0, rmdir(m_locks.c_str()));
    ASSERT_EQ(0, mkdir((m_dir + "/elsewhere").c_str(), 0700));
    ASSERT_EQ(0, symlink("elsewhere", m_locks.c_str()));
    EXPECT_EQ(directory + "is a symbolic link: remove it", Lock(store));
    ASSERT_EQ(0, unlink(m_locks.c_str()));

    // A lock file that is a link, or not the user's, is not used.
    const std::string lockFile = MadeLockFile();
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    ASSERT_EQ(0, symlink((m_dir + "/elsewhere/x").c_str(), lockFile.c_str()));
    EXPECT_EQ(0u, Lock(store).find(prefix + "cannot open the lock file ")) << m_message;
    EXPECT_EQ(TNames{}, Names(m_dir + "/elsewhere")) << "no link is followed";
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    if (geteuid() != 0)
        return;
    Write("", lockFile);
    ASSERT_EQ(0, chown(lockFile.c_str(), 1, 1));
    EXPECT_EQ(prefix + "the lock file " + lockFile.substr(m_locks.size() + 1) +
                  " is not a regular file of this user's",
              Lock(store));
    ASSERT_EQ(0, unlink(lockFile.c_str()));
    ASSERT_EQ(0, chown(m_locks.c_str(), 1, 1));
    EXPECT_EQ(directory + "belongs to uid 1, not to root or the daemon's user: remove it",
              Lock(store));
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
    const std::string remote = "): use murox --remote";
    const std::tuple<std::vector<std::string>, std::string, std::string> holders[] = {
        {{"flock", "/usr/sbin/murox", "--daemon", "--socket", "/run/a.ctl"},
         "murox",
         " (a daemon serving /run/a.ctl" + remote},
        {{"flock", "/usr/sbin/murox", "--daemon", "--socket=/run/\x1b[2Jb.ctl"},
         "murox",
         " (a daemon serving /run/\\x1b[2Jb.ctl" + remote},
        {{"flock", "/usr/sbin/murox", "--daemon"},
         "murox",
         " (a daemon serving its default socket" + remote},
        {{"flock", "/usr/sbin/murox", "-e", "--daemon"}, "murox", ""},
        {{odd}, "fl\\x1b]0;x\\x07\\xe2\\x80\\xaeock", ""}};
    for (const auto& [args, name, serving] : holders) {
        int input[2];
        ASSERT_EQ(0, pipe2(input, O_CLOEXEC));
        std::vector<const char*> argv = {args[0].c_str(), "-o", lockFile.c_str(), "sh", "-c",
                                         "read x"};
        for (std::size_t i = 1; i <= args.size(); ++i)
            argv.push_back(i < args.size() ? args[i].c_str() : nullptr);
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
        EXPECT_EQ(m_path + " is in use by " + name + " pid " + std::to_string(pid) + serving,
                  Lock(other));
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
    ASSERT_EQ("locked", Lock(holder));
    EXPECT_EQ(std::to_string(getpid()) + '\n' + commandLine, Contents(lockFile));
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding /proc's entries takes root";
    for (const bool forged : {false, true}) {
        if (forged) {
            // Another pid's record, as left by an earlier holder.
            std::ofstream(lockFile, std::ios::binary)
                << std::string("1\n/usr/sbin/murox\0--daemon", 19);
        }
        const std::string said = testsupport::ChildSays([this] {
            // A /proc hiding what it cannot trace, no capability, another group than the holder's.
            __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct none[2] = {};
            if (!testsupport::OwnMounts() ||
                mount("proc", "/proc", "proc", 0, "hidepid=invisible") != 0)
                return std::string("no /proc of its own can be mounted here");
            if (setgid(65534) != 0 || syscall(SYS_capset, &header, none) != 0)
                return std::string("privileged still");
            BFileNV other;
            Lock(other);
            const bool seen = access(("/proc/" + std::to_string(getppid())).c_str(), F_OK) == 0;
            return (seen ? "visible " : "hidden ") + m_message;
        });
        if (said == "no /proc of its own can be mounted here")
            GTEST_SKIP() << said;
        EXPECT_EQ("hidden " +
                      (forged ? m_path + " is in use by process pid " + std::to_string(getpid())
                              : m_byMe),
                  said);
    }
}

// Only the user's own regular files named as this file's temporaries are taken for leftovers. One
// that cannot be removed is said, by its name, and stays until it can be; a directory that cannot
// be read is said, not taken for one without leftovers.
TEST_F(StoreLockTest, RemovesWhatAnInterruptedRewriteLeftAndNothingElse)
{
    Write("[a]\n");
    for (const char* name :
         {"murox.conf.tmp-0123456789abcdeF", "murox.conf.tmp-0123456789abcde",
          "murox.conf.tmp-0123456789abcdef0", "other.conf.tmp-0123456789abcdef", "murox.conf.tmp"})
        Write("", m_dir + "/" + name);
    ASSERT_EQ(0, mkdir((m_path + ".tmp-00000000000000d1").c_str(), 0700));
    ASSERT_EQ(0, symlink(m_path.c_str(), (m_path + ".tmp-000000000000001e").c_str()));
    ASSERT_EQ(0, symlink("murox.conf", (m_dir + "/link.conf").c_str()));
    const TNames kept = Names(m_dir);
    const std::string left = "murox.conf.tmp-0123456789abcdef";
    Write("left", m_dir + "/" + left);
    Write("left", m_path + ".tmp-fedcba9876543210");
    std::string error;
    EXPECT_EQ(2, KAF::RemoveLeftoverTemporaries(m_dir + "/link.conf", error)) << error;
    EXPECT_EQ(kept, Names(m_dir));
    EXPECT_EQ(0, KAF::RemoveLeftoverTemporaries(m_path, error));
    EXPECT_EQ(-1, KAF::RemoveLeftoverTemporaries(m_dir + "/none.conf", error));
    EXPECT_EQ("No such file or directory", error);

    Write("left", m_dir + "/" + left);
    const std::tuple<TCall, syscall_faults::THook, std::string> failures[] = {
        {TCall::kUnlinkat, [&](int, const char* szName, int) { return left == szName ? EROFS : 0; },
         "cannot remove " + left + ": Read-only file system"},
        {TCall::kReaddir, syscall_faults::Failing(EIO), "Input/output error"}};
    for (const auto& [call, hook, message] : failures) {
        {
            const TFault fault(call, hook);
            EXPECT_EQ(-1, KAF::RemoveLeftoverTemporaries(m_path, error));
            EXPECT_EQ(1, fault.Calls());
        }
        EXPECT_EQ(message, error);
        EXPECT_TRUE(fs::exists(m_dir + "/" + left));
    }
    EXPECT_EQ(1, KAF::RemoveLeftoverTemporaries(m_path, error)) << error;
    if (geteuid() != 0)
        return;
    Write("", m_dir + "/" + left);
    ASSERT_EQ(0, chown((m_dir + "/" + left).c_str(), 1, 1));
    EXPECT_EQ(0, KAF::RemoveLeftoverTemporaries(m_path, error)) << "another user's is left";
    EXPECT_TRUE(fs::exists(m_dir + "/" + left));
}

} // namespace
