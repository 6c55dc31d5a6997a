// The store's rewrite when a system call fails (through tests/support/SystemCallFaults.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/kaf/StoreControl.h"
#include "hostapi/BFileNV.h"
#include "tests/kaf/StoreFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using syscall_faults::Failing;
using syscall_faults::TCall;
using syscall_faults::TFault;
using syscall_faults::TFrozenClock;

const char kTemporary[] = "murox.conf.tmp-";

bool IsTemporary(const char* szName)
{
    return szName != nullptr && std::string(szName).rfind(kTemporary, 0) == 0;
}

bool IsDirectory(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

class StoreFailureTest : public StoreTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
        ASSERT_TRUE(Set("a", "k", "2"));
    }
    std::string Error() const { return m_store.LastError(); }
    // The file as it was, and no temporary file left.
    void ExpectUnchanged()
    {
        EXPECT_EQ("[a]\nk = 1\n", Contents(m_path));
        EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
    }
};

// A new file that could not be synced never takes the file's place.
TEST_F(StoreFailureTest, ANewFileNotSyncedDoesNotReplaceTheFile)
{
    {
        const TFault fault(TCall::kFsync,
                           [](int fd, const char*, int) { return IsDirectory(fd) ? 0 : EIO; });
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_GE(fault.Calls(), 1);
    }
    EXPECT_EQ("cannot write '" + m_path + "': Input/output error", Error());
    ExpectUnchanged();
    // The change is still there to write.
    ASSERT_EQ(1, m_store.Commit()) << Error();
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
}

// A directory not synced after the replace: the file is in place, the operator told it may not
// last.
TEST_F(StoreFailureTest, ADirectoryNotSyncedIsReported)
{
    {
        const TFault fault(TCall::kFsync,
                           [](int fd, const char*, int) { return IsDirectory(fd) ? EIO : 0; });
        EXPECT_EQ(0, m_store.Commit());
    }
    EXPECT_EQ("cannot write '" + m_path +
                  "': replaced, but its directory not synced (Input/output error); run \"xdll "
                  "-r\"",
              Error());
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

// A hard link planted at the temporary's name is never opened: the rewrite takes another name.
TEST_F(StoreFailureTest, ALinkPlantedAtTheTemporarysNameIsNotWrittenThrough)
{
    const std::string victim = m_dir + "/victim";
    Write("precious\n", victim);
    std::set<std::string> planted;
    {
        const TFault fault(TCall::kOpenat, [&](int dirFd, const char* szName, int) {
            if (IsTemporary(szName) && planted.empty() &&
                linkat(AT_FDCWD, victim.c_str(), dirFd, szName, 0) == 0)
                planted.insert(szName);
            return 0;
        });
        ASSERT_EQ(1, m_store.Commit()) << Error();
    }
    ASSERT_EQ(1U, planted.size());
    EXPECT_EQ("precious\n", Contents(victim));
    EXPECT_EQ("precious\n", Contents(m_dir + "/" + *planted.begin()));
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf", "victim", *planted.begin()}), Names(m_dir));
}

// Taken names cost another each, without random bytes or a moving clock; past a bound it gives up.
TEST_F(StoreFailureTest, ATakenNameIsRetriedUnderAnotherUpToABound)
{
    const TFault noRandom(TCall::kGetrandom, Failing(ENOSYS));
    const TFrozenClock frozen({1700000000, 123456789});
    std::set<std::string> tried;
    {
        int taken = 0;
        const TFault fault(TCall::kOpenat, [&](int, const char* szName, int flags) {
            if (!IsTemporary(szName))
                return 0;
            EXPECT_EQ(O_CREAT | O_EXCL, flags & (O_CREAT | O_EXCL));
            tried.insert(szName);
            return ++taken <= 3 ? EEXIST : 0;
        });
        ASSERT_EQ(1, m_store.Commit()) << Error();
    }
    EXPECT_EQ(4U, tried.size()) << "a name is not tried twice";
    EXPECT_GE(noRandom.Calls(), 4);
    EXPECT_GE(frozen.Reads(), 4) << "each name read the clock";
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));

    ASSERT_TRUE(Set("a", "k", "3"));
    {
        const TFault fault(TCall::kOpenat, [](int, const char* szName, int) {
            return IsTemporary(szName) ? EEXIST : 0;
        });
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_LT(fault.Calls(), 64) << "bounded";
    }
    EXPECT_EQ("cannot write '" + m_path + "': File exists", Error());
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
}

// Only a taken name is worth another: any other failure to make the file is said at once.
TEST_F(StoreFailureTest, AnyOtherFailureToMakeTheNewFileIsSaidAtOnce)
{
    int tries = 0;
    {
        const TFault fault(TCall::kOpenat, [&](int, const char* szName, int) {
            if (!IsTemporary(szName))
                return 0;
            ++tries;
            return EACCES;
        });
        EXPECT_EQ(0, m_store.Commit());
    }
    EXPECT_EQ(1, tries);
    EXPECT_EQ("cannot write '" + m_path + "': Permission denied", Error());
    ExpectUnchanged();
}

// A file an interrupted rewrite left that cannot be removed is said, by
// its name, and stays until it can be.
TEST_F(StoreFailureTest, ALeftoverThatCannotBeRemovedIsNamed)
{
    const std::string stuck = "murox.conf.tmp-0123456789abcdef";
    Write("left", m_dir + "/" + stuck);
    std::string error;
    {
        const TFault fault(TCall::kUnlinkat, [&](int, const char* szName, int) {
            return stuck == szName ? EROFS : 0;
        });
        EXPECT_EQ(-1, KAF::RemoveLeftoverTemporaries(m_path, error));
        EXPECT_EQ(1, fault.Calls());
    }
    EXPECT_EQ("cannot remove " + stuck + ": Read-only file system", error);
    EXPECT_EQ((std::set<std::string>{"murox.conf", stuck}), Names(m_dir));
    EXPECT_EQ(1, KAF::RemoveLeftoverTemporaries(m_path, error)) << error;
    ExpectUnchanged();
}

// A lock file removed or replaced before its lock is locked again by name: a second holder fails.
TEST_F(StoreFailureTest, ALockFileGoneFromItsNameBeforeItIsLockedIsNotTrusted)
{
    const std::string locks = m_dir + "/run";
    const auto lockName = [&] { return locks + "/" + *Names(locks).begin(); };
    std::string message;
    BFileNV holder, other;
    {
        int seen = 0;
        const TFault fault(TCall::kFlock, [&](int, const char*, int) {
            ++seen;
            if (seen == 1) {
                Write("", locks + "/new");
                EXPECT_EQ(0, rename((locks + "/new").c_str(), lockName().c_str()));
            } else if (seen == 2) {
                EXPECT_EQ(0, unlink(lockName().c_str()));
            }
            return 0;
        });
        ASSERT_TRUE(KAF::LockConfig(locks, m_path, holder, message)) << message;
        EXPECT_EQ(3, seen);
    }
    EXPECT_FALSE(KAF::LockConfig(locks, m_path, other, message));
    EXPECT_THAT(message, testing::HasSubstr(" is in use by "));

    BFileNV third;
    const std::string again = m_dir + "/run2";
    {
        const TFault fault(TCall::kFlock, [&](int, const char*, int) {
            EXPECT_EQ(0, unlink((again + "/" + *Names(again).begin()).c_str()));
            return 0;
        });
        EXPECT_FALSE(KAF::LockConfig(again, m_path, third, message));
        EXPECT_LE(fault.Calls(), 16) << "bounded";
    }
    EXPECT_EQ("cannot lock '" + m_path + "': its lock file is removed again and again", message);
}

} // namespace
