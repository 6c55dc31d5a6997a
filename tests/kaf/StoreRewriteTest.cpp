// A rewrite racing others, or failing (through tests/support/SystemCallFaults.h): a hand edit is
// kept, a failure leaves the file as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/kaf/StoreFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

using syscall_faults::Failing;
using syscall_faults::TCall;
using syscall_faults::TFault;

bool IsTemporary(const char* szName)
{
    return szName != nullptr && std::string(szName).rfind("murox.conf.tmp-", 0) == 0;
}

bool IsDirectory(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Counts the renames (renameat2's); `before` and `after`, if any, act around the first.
TFault OnRenames(const std::function<void()>& before = nullptr,
                 const std::function<void()>& after = nullptr)
{
    return TFault(
        TCall::kRenameat2,
        [before, first = true](int, const char*, int) mutable {
            if (std::exchange(first, false) && before)
                before();
            return 0;
        },
        [after, first = true]() mutable {
            if (std::exchange(first, false) && after)
                after();
        });
}

using StoreRewriteTest = StoreTest;

// A hand edit landing during the rewrite, just before the exchange or just after it (through a
// descriptor opened before), of the same length, compared by content, or another file put in
// place: the edit is kept, and so is what was appended to the new file while it stood in place.
// One landing as the new file is synced is found before the exchange; one appended through a
// descriptor opened before the exchange, as the directory is synced after it, follows.
TEST_F(StoreRewriteTest, AHandEditThatLandsDuringTheRewriteIsKept)
{
    Edit();
    {
        const TFault renames = OnRenames();
        const TFault fault(TCall::kFsync, [this](int fd, const char*, int) {
            std::ofstream(m_path, std::ios::app) << (IsDirectory(fd) ? "" : "# by hand\n");
            return 0;
        });
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_EQ(0, renames.Calls());
    }
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_TRUE(Set("a", "k", "2"));
    int old = -1;
    {
        const TFault renames = OnRenames([&] { old = open(m_path.c_str(), O_WRONLY | O_APPEND); });
        const TFault fault(TCall::kFsync, [&](int fd, const char*, int) {
            EXPECT_TRUE(!IsDirectory(fd) || write(old, "# late\n", 7) == 7);
            return 0;
        });
        ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    }
    close(old);
    ExpectAlone("[a]\nk = 2\n# by hand\n# late\n");

    const std::string byHand = "[a]\nk = 1\n# by hand\n";
    // {replaced by another file, after the exchange}; else a 9 is written over the 1.
    for (const auto& [replaced, afterExchange] :
         {std::pair{false, false}, {false, true}, {true, false}}) {
        SCOPED_TRACE(std::string(replaced ? "replaced" : "written") +
                     (afterExchange ? " after" : " before"));
        Edit();
        int fd = -1;
        const auto edit = [&] {
            if (replaced) {
                Write(byHand, m_path + ".new");
                EXPECT_EQ(0, rename((m_path + ".new").c_str(), m_path.c_str()));
            } else {
                EXPECT_EQ(1, pwrite(fd, "9", 1, 8));
            }
            close(fd);
            std::ofstream(m_path, std::ios::app) << (afterExchange ? "# to the new file\n" : "");
        };
        const auto opened = [&] { fd = open(m_path.c_str(), O_WRONLY); };
        const TFault renames = afterExchange ? OnRenames(opened, edit) : OnRenames([&] {
            opened();
            edit();
        });
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_EQ(Changed(), m_store.LastError());
        EXPECT_EQ(2, renames.Calls()) << "exchanged, then back";
        ExpectAlone(replaced        ? byHand
                    : afterExchange ? "[a]\nk = 9\n# to the new file\n"
                                    : "[a]\nk = 9\n");
    }

    // Written over, not appended to, as the directory is synced: the old file goes back.
    Edit();
    int late = -1;
    {
        const TFault renames = OnRenames([&] { late = open(m_path.c_str(), O_WRONLY); });
        const TFault fault(TCall::kFsync, [&](int fd, const char*, int) {
            EXPECT_TRUE(!IsDirectory(fd) || pwrite(late, "9", 1, 8) == 1);
            return 0;
        });
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_EQ(Changed(), m_store.LastError());
        EXPECT_EQ(2, renames.Calls()) << "exchanged, then back";
    }
    close(late);
    ExpectAlone("[a]\nk = 9\n");

    // A new file does not replace one made meanwhile.
    ASSERT_EQ(0, unlink(m_path.c_str()));
    BFileNV fresh;
    ASSERT_EQ(1, fresh.SetValue(BString("a"), BString("k"), BString("1")));
    fresh.m_fileName = BString(m_path.c_str());
    const TFault renames = OnRenames([this] { Write("[hand]\n"); });
    EXPECT_EQ(0, fresh.Commit());
    EXPECT_EQ(Changed(), fresh.LastError());
    ExpectAlone("[hand]\n");
}

// An edit before the rewrite is found before anything is made or exchanged: one of the same length
// by reading the file (its times, which any write leaves alike, tell nothing), a longer one, a
// removal, and a file put at the name between the look at it and its opening, even with the same
// text.
TEST_F(StoreRewriteTest, AnEditBeforeTheRewriteIsFoundBeforeAnythingIsWritten)
{
    const std::string newcomer = m_path + ".new";
    for (const std::string edit : {"[a]\nk = 9\n", "[a]\nk = 1\n[hand]\nx = y\n", "", "swap"}) {
        SCOPED_TRACE(edit);
        Edit();
        const bool swap = edit == "swap";
        if (!edit.empty())
            Write(swap ? "[a]\nk = 1\n" : edit, swap ? newcomer : m_path);
        else
            ASSERT_EQ(0, unlink(m_path.c_str()));
        const TFault renames = OnRenames();
        int created = 0;
        bool swapped = false;
        {
            const TFault fault(TCall::kOpenat, [&](int, const char* szName, int flags) {
                created += (flags & O_CREAT) != 0;
                if (swap && !swapped && std::string("murox.conf") == szName &&
                    (flags & O_CREAT) == 0)
                    swapped = rename(newcomer.c_str(), m_path.c_str()) == 0;
                return 0;
            });
            EXPECT_EQ(0, m_store.Commit());
        }
        EXPECT_EQ(swap, swapped);
        EXPECT_EQ(Changed(), m_store.LastError());
        EXPECT_TRUE(created == 0 && renames.Calls() == 0)
            << created << " made, exchanged " << renames.Calls();
        EXPECT_EQ(swap ? "[a]\nk = 1\n" : edit, Contents(m_path));
        EXPECT_EQ(edit.empty() ? TNames{} : TNames{"murox.conf"}, Names(m_dir));
    }
    // A store that never read the file does not overwrite it either, nor one that read another.
    BFileNV unread(Write("[hand]\nx = y\n"));
    EXPECT_EQ(0, unread.Commit());
    Write("[other]\n", m_dir + "/other.conf");
    unread.ReadFile((m_dir + "/other.conf").c_str());
    unread.m_fileName = BString(m_path.c_str());
    EXPECT_EQ(0, unread.Commit());
    ASSERT_EQ(0, unlink((m_dir + "/other.conf").c_str()));
    // Once re-read, the edit is kept.
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_TRUE(Set("a", "k", "3"));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    ExpectAlone("[hand]\nx = y\n\n[a]\nk = 3\n");
}

// An edit the store could not put back is not lost: the error names the file that holds it.
TEST_F(StoreRewriteTest, AnEditThatCannotBePutBackIsNamed)
{
    Edit();
    std::string temporary;
    const TFault renames(TCall::kRenameat2, [&](int, const char* szOld, int) {
        if (!temporary.empty())
            return EIO;
        temporary = szOld;
        std::ofstream(m_path, std::ios::app) << "# by hand\n";
        return 0;
    });
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_EQ(CannotWrite("the file changed on disk while it was rewritten, and what was there "
                          "could not be put back (Input/output error): it is in " +
                          temporary),
              m_store.LastError());
    EXPECT_EQ("[a]\nk = 1\n# by hand\n", Contents(m_dir + "/" + temporary));
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
}

// Each failure is said and leaves the file as it was, the change still there to write; but a
// directory not synced after the replace, which may not last. Where names cannot be exchanged,
// the new file is renamed into place after the check. Only a taken name is worth another.
TEST_F(StoreRewriteTest, AFailureIsSaidAndLeavesTheFileAsItWas)
{
    int tries = 0;
    const auto making = [&tries](int error) -> syscall_faults::THook {
        return [&tries, error](int, const char* szName, int) {
            tries += IsTemporary(szName);
            return IsTemporary(szName) ? error : 0;
        };
    };
    struct TFailure {
        const char* what;
        TCall call;
        syscall_faults::THook hook;
        int exchangeError; // of renameat2, 0 for none
        std::string error; // empty: written
        int maxTries;      // of a name for the new file
        bool fullDisk = false;
    };
    const std::string notSynced = "replaced, but its directory not synced (Input/output error); "
                                  "run \"xdll -r\"";
    const TFailure failures[] = {
        {"new file not synced", TCall::kFsync,
         [](int fd, const char*, int) { return IsDirectory(fd) ? 0 : EIO; }, 0,
         CannotWrite("Input/output error"), 0},
        {"directory not synced", TCall::kFsync,
         [](int fd, const char*, int) { return IsDirectory(fd) ? EIO : 0; }, 0,
         CannotWrite(notSynced), 0},
        {"new file refused", TCall::kOpenat, making(EACCES), 0, CannotWrite("Permission denied"),
         1},
        {"every name taken", TCall::kOpenat, making(EEXIST), 0, CannotWrite("File exists"), 63},
        {"exchange failing", TCall::kRenameat, nullptr, EIO, CannotWrite("Input/output error"), 0},
        {"no exchange", TCall::kRenameat, nullptr, EINVAL, "", 0},
        {"no exchange, rename failing", TCall::kRenameat, Failing(EIO), EINVAL,
         CannotWrite("Input/output error"), 0},
        {"disk full", TCall::kFsync, nullptr, 0, CannotWrite("File too large"), 1, true},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const TFailure& failure : failures) {
        SCOPED_TRACE(failure.what);
        Edit();
        tries = 0;
        {
            const TFault exchange(TCall::kRenameat2, Failing(failure.exchangeError));
            const TFault fault(failure.call, failure.hook);
            // A full disk: a write that grows a file fails (EFBIG, its signal ignored).
            rlimit size;
            ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &size));
            const rlimit full = {failure.fullDisk ? 0 : size.rlim_cur, size.rlim_max};
            ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &full));
            EXPECT_EQ(failure.error.empty() ? 1 : 0, m_store.Commit());
            ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &size));
        }
        EXPECT_EQ(failure.error, m_store.LastError());
        EXPECT_LE(tries, failure.maxTries) << "bounded";
        const bool replaced = failure.error.empty() || failure.error == CannotWrite(notSynced);
        ExpectAlone(replaced ? "[a]\nk = 2\n" : "[a]\nk = 1\n");
        if (!replaced) {
            ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
            EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
        }
    }
}

// A name taken, even by a hard link planted there, is never opened: each costs another, without
// random bytes or a moving clock.
TEST_F(StoreRewriteTest, ATakenNameIsRetriedUnderAnotherNotWrittenThrough)
{
    Edit();
    const std::string victim = m_dir + "/victim";
    Write("precious\n", victim);
    const TFault noRandom(TCall::kGetrandom, Failing(ENOSYS));
    const syscall_faults::TFrozenClock frozen({1700000000, 123456789});
    TNames tried, expected = {"murox.conf", "victim"};
    int tries = 0;
    {
        const TFault fault(TCall::kOpenat, [&](int dirFd, const char* szName, int flags) {
            if (!IsTemporary(szName))
                return 0;
            EXPECT_EQ(O_CREAT | O_EXCL, flags & (O_CREAT | O_EXCL));
            tried.insert(szName);
            ++tries;
            if (expected.size() < 5 && linkat(AT_FDCWD, victim.c_str(), dirFd, szName, 0) == 0)
                expected.insert(szName);
            return 0;
        });
        ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    }
    EXPECT_TRUE(tries == 4 && tried.size() == 4) << tries << " tries: a name is not tried twice";
    EXPECT_GE(noRandom.Calls(), 4);
    EXPECT_EQ("precious\n", Contents(victim));
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    EXPECT_EQ(expected, Names(m_dir));
    // Every name taken: the rewrite fails, and what stands at each name stays.
    Edit();
    {
        const TFault fault(TCall::kOpenat, [&](int dirFd, const char* szName, int) {
            if (IsTemporary(szName) && linkat(AT_FDCWD, victim.c_str(), dirFd, szName, 0) == 0)
                expected.insert(szName);
            return 0;
        });
        EXPECT_EQ(0, m_store.Commit());
    }
    EXPECT_EQ(expected, Names(m_dir));
}

// The temporary is the owner's alone until complete (a reader's locks: the lock's test).
TEST_F(StoreRewriteTest, TheTemporaryFileIsPrivateUntilComplete)
{
    Edit();
    ASSERT_EQ(0, chmod(m_path.c_str(), 0644));
    const TFault chmods(TCall::kFchmod, [](int fd, const char*, int mode) {
        struct stat st {};
        EXPECT_EQ(0, fstat(fd, &st));
        EXPECT_EQ(0600u, st.st_mode & 07777) << "until the new file is complete";
        EXPECT_EQ(10, st.st_size) << "the new file is complete";
        EXPECT_EQ(0644, mode);
        return 0;
    });
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_EQ(1, chmods.Calls());
    struct stat st;
    ASSERT_EQ(0, stat(m_path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ExpectAlone("[a]\nk = 2\n");
}

} // namespace
