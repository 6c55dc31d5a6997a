// A rewrite racing others: a hand edit is kept; the steps are reached through renameat2 and fchmod.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "hostapi/BFileNV.h"
#include "tests/kaf/StoreFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using TRename = std::function<int(int, const char*, int, const char*, unsigned)>;
using TChmod = std::function<void(int, mode_t)>;
TRename s_onRename;
TChmod s_onChmod;

int RealRename(int oldDir, const char* szOld, int newDir, const char* szNew, unsigned flags)
{
    return static_cast<int>(::syscall(SYS_renameat2, oldDir, szOld, newDir, szNew, flags));
}

} // namespace

extern "C" int renameat2(int oldDir, const char* szOld, int newDir, const char* szNew,
                         unsigned flags) noexcept
{
    if (s_onRename)
        return s_onRename(oldDir, szOld, newDir, szNew, flags);
    return RealRename(oldDir, szOld, newDir, szNew, flags);
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    if (s_onChmod)
        s_onChmod(fd, mode);
    return static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

namespace {

const char kChanged[] = "': the file changed on disk since it was last read; run \"xdll -r\" first";

class StoreRewriteTest : public StoreTest {
protected:
    ~StoreRewriteTest() override
    {
        s_onRename = nullptr;
        s_onChmod = nullptr;
    }
    void Append(const std::string& text)
    {
        const int fd = open(m_path.c_str(), O_WRONLY | O_APPEND);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }
    std::string Changed() const { return "cannot write '" + m_path + kChanged; }
};

TEST_F(StoreRewriteTest, AHandEditThatLandsDuringTheRewriteIsKept)
{
    const std::string original = "[a]\nk = 1\n";
    // An edit just before the replace; one by a writer that opened the file before; a hand-put
    // file.
    const std::function<int(int, const char*, int, const char*, unsigned)> edits[] = {
        [this](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
            Append("# by hand\n");
            return RealRename(d1, s1, d2, s2, flags);
        },
        [this](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
            const int fd = open(m_path.c_str(), O_WRONLY | O_APPEND);
            const int result = RealRename(d1, s1, d2, s2, flags);
            EXPECT_EQ(10, write(fd, "# by hand\n", 10));
            close(fd);
            return result;
        },
        [this, &original](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
            Write(original + "# by hand\n", m_path + ".new");
            EXPECT_EQ(0, rename((m_path + ".new").c_str(), m_path.c_str()));
            return RealRename(d1, s1, d2, s2, flags);
        },
    };
    for (const auto& edit : edits) {
        ASSERT_EQ(1, m_store.ReadFile(Write(original)));
        ASSERT_TRUE(Set("a", "k", "2"));
        int calls = 0;
        s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
            return ++calls == 1 ? edit(d1, s1, d2, s2, flags) : RealRename(d1, s1, d2, s2, flags);
        };
        EXPECT_EQ(0, m_store.Commit());
        s_onRename = nullptr;
        EXPECT_EQ(Changed(), m_store.LastError());
        EXPECT_EQ(2, calls) << "exchanged, then back";
        EXPECT_EQ(original + "# by hand\n", Contents(m_path));
        EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
    }
    // Re-read, the edit stays beside the change.
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_TRUE(Set("a", "k", "3"));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_EQ("[a]\nk = 3\n# by hand\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

// An edit keeping the length is compared by content, just before the exchange or just after it.
TEST_F(StoreRewriteTest, AnEditOfTheSameLengthDuringTheRewriteIsKept)
{
    const std::string original = "[a]\nk = 1\n";
    const std::string edited = "[a]\nk = 9\n";
    for (const bool afterExchange : {false, true}) {
        ASSERT_EQ(1, m_store.ReadFile(Write(original)));
        ASSERT_TRUE(Set("a", "k", "2"));
        int calls = 0;
        s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
            if (++calls != 1)
                return RealRename(d1, s1, d2, s2, flags);
            const int fd = open(m_path.c_str(), O_WRONLY);
            const int result = afterExchange ? RealRename(d1, s1, d2, s2, flags) : 0;
            EXPECT_EQ(1, pwrite(fd, "9", 1, 8));
            close(fd);
            return afterExchange ? result : RealRename(d1, s1, d2, s2, flags);
        };
        EXPECT_EQ(0, m_store.Commit()) << "after the exchange: " << afterExchange;
        s_onRename = nullptr;
        EXPECT_EQ(Changed(), m_store.LastError());
        EXPECT_EQ(2, calls) << "exchanged, then back";
        EXPECT_EQ(edited, Contents(m_path));
        EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
    }
}

// An edit of the same length made before the rewrite is found by reading
// the file, before any new file is made: the file's times, which any write
// leaves alike, tell nothing.
TEST_F(StoreRewriteTest, AnEditOfTheSameLengthBeforeTheRewriteIsFoundBeforeAnythingIsWritten)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    ASSERT_TRUE(Set("a", "k", "2"));
    Write("[a]\nk = 9\n");
    int renames = 0, created = 0;
    s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
        ++renames;
        return RealRename(d1, s1, d2, s2, flags);
    };
    {
        const syscall_faults::TFault fault(syscall_faults::TCall::kOpenat,
                                           [&](int, const char*, int flags) {
                                               created += (flags & O_CREAT) != 0;
                                               return 0;
                                           });
        EXPECT_EQ(0, m_store.Commit());
    }
    EXPECT_EQ(Changed(), m_store.LastError());
    EXPECT_EQ(0, created) << "no new file made";
    EXPECT_EQ(0, renames) << "nothing exchanged";
    EXPECT_EQ("[a]\nk = 9\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

// A file put at the name between the look at it and its opening is not the
// one looked at: the rewrite refuses at once, even where the newcomer holds
// the same text, and exchanges nothing.
TEST_F(StoreRewriteTest, AFileSwappedInAsItIsOpenedIsRefused)
{
    const std::string original = "[a]\nk = 1\n", newcomer = m_path + ".new";
    ASSERT_EQ(1, m_store.ReadFile(Write(original)));
    ASSERT_TRUE(Set("a", "k", "2"));
    Write(original, newcomer);
    ASSERT_EQ(0, chmod(newcomer.c_str(), 0640));
    struct stat swappedIn, st;
    ASSERT_EQ(0, stat(newcomer.c_str(), &swappedIn));
    int renames = 0;
    s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
        ++renames;
        return RealRename(d1, s1, d2, s2, flags);
    };
    bool swapped = false;
    {
        const syscall_faults::TFault fault(
            syscall_faults::TCall::kOpenat, [&](int, const char* szName, int flags) {
                if (!swapped && std::string("murox.conf") == szName && (flags & O_CREAT) == 0)
                    swapped = rename(newcomer.c_str(), m_path.c_str()) == 0;
                return 0;
            });
        EXPECT_EQ(0, m_store.Commit());
    }
    ASSERT_TRUE(swapped);
    EXPECT_EQ(Changed(), m_store.LastError());
    EXPECT_EQ(0, renames) << "nothing exchanged";
    ASSERT_EQ(0, stat(m_path.c_str(), &st));
    EXPECT_TRUE(st.st_ino == swappedIn.st_ino && (st.st_mode & 07777) == 0640);
    EXPECT_EQ(original, Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

TEST_F(StoreRewriteTest, ANewFileDoesNotReplaceOneMadeMeanwhile)
{
    ASSERT_TRUE(Set("a", "k", "1"));
    m_store.m_fileName = BString(m_path.c_str());
    s_onRename = [this](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
        Write("[hand]\n");
        return RealRename(d1, s1, d2, s2, flags);
    };
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_EQ(Changed(), m_store.LastError());
    EXPECT_EQ("[hand]\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

// An edit the store could not put back is not lost: the error names the file that holds it.
TEST_F(StoreRewriteTest, AnEditThatCannotBePutBackIsNamed)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    ASSERT_TRUE(Set("a", "k", "2"));
    std::string temporary;
    s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
        if (!temporary.empty()) {
            errno = EIO;
            return -1;
        }
        temporary = s1;
        Append("# by hand\n");
        return RealRename(d1, s1, d2, s2, flags);
    };
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_EQ("cannot write '" + m_path +
                  "': the file changed on disk while it was rewritten, and what was there could "
                  "not be put back (Input/output error): it is in " +
                  temporary,
              m_store.LastError());
    EXPECT_EQ("[a]\nk = 1\n# by hand\n", Contents(m_dir + "/" + temporary));
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
}

// Where names cannot be exchanged, the new file is renamed into place after the check.
TEST_F(StoreRewriteTest, WithoutExchangeAPlainRenameReplacesTheFile)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    ASSERT_TRUE(Set("a", "k", "2"));
    s_onRename = [](int, const char*, int, const char*, unsigned) {
        errno = EINVAL;
        return -1;
    };
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
    // Another failure of the exchange refuses, leaving nothing behind.
    ASSERT_TRUE(Set("a", "k", "3"));
    s_onRename = [](int, const char*, int, const char*, unsigned) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_EQ("cannot write '" + m_path + "': Input/output error", m_store.LastError());
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
    // So does a failure of the plain rename.
    s_onRename = [](int, const char*, int, const char*, unsigned) {
        errno = EINVAL;
        return -1;
    };
    {
        const syscall_faults::TFault fault(syscall_faults::TCall::kRenameat,
                                           syscall_faults::Failing(EIO));
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_EQ(1, fault.Calls());
    }
    EXPECT_EQ("cannot write '" + m_path + "': Input/output error", m_store.LastError());
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

// The temporary is the owner's alone until complete; a reader's locks change nothing.
TEST_F(StoreRewriteTest, TheTemporaryFileIsPrivateUntilCompleteAndLocksDoNotStopIt)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    ASSERT_EQ(0, chmod(m_path.c_str(), 0644));
    const int reader = open(m_path.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(reader, LOCK_EX));
    ASSERT_TRUE(Set("a", "k", "2"));
    int chmods = 0, renames = 0;
    s_onChmod = [&](int fd, mode_t mode) {
        struct stat st;
        ASSERT_EQ(0, fstat(fd, &st));
        EXPECT_EQ(0600u, st.st_mode & 07777) << "until the new file is complete";
        EXPECT_EQ(10, st.st_size) << "the new file is complete";
        EXPECT_EQ(0644u, mode);
        ++chmods;
    };
    s_onRename = [&](int d1, const char* s1, int d2, const char* s2, unsigned flags) {
        const int fd = openat(d1, s1, O_RDONLY);
        EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
        const int result = RealRename(d1, s1, d2, s2, flags);
        close(fd);
        ++renames;
        return result;
    };
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_TRUE(chmods == 1 && renames == 1) << chmods << ' ' << renames;
    close(reader);
    struct stat st;
    ASSERT_EQ(0, stat(m_path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

} // namespace
