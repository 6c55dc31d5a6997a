// The configuration store: its format, bad files, commits that keep what they do not change.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/kaf/StoreControl.h"
#include "hostapi/BFileNV.h"
#include "tests/kaf/StoreFixture.h"
#include "tests/support/FullDisk.h"

namespace {

TEST_F(StoreTest, ReadsTheFormatAndRefusesWhatItCannotHold)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("; comment\n[s one]\n  path =  /x/y z  \n[t]\r\nk=v=w\n")));
    EXPECT_TRUE(Value("s one", "path") == "/x/y z" && Value("t", "k") == "v=w");
    const char* const bad[][2] = {
        {"k = v\n", "line 1: key outside any section"},
        {"[s]\njunk\n", "line 2: expected [section] or key = value"},
        {"[s\n", "line 1: section header without ']'"},
        {"[]\n", "line 1: bad section name"},
        {"[s]\n[s]\n", "line 2: section [s] repeated"},
        {"[s]\nk=1\nk=2\n", "line 3: key 'k' repeated"},
        {"[s]\n= v\n", "line 2: empty key"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(0, m_store.ReadFile(Write(b[0])));
        EXPECT_TRUE(Refused(b[1])) << m_store.LastError();
    }
    EXPECT_EQ(0, m_store.ReadFile("/nonexistent-dir/x.conf"));
    EXPECT_TRUE(Refused("cannot read"));
    // What one read may allocate is bounded (64 MiB).
    ASSERT_EQ(0, truncate(Write(""), (64 << 20) + 1));
    EXPECT_EQ(0, m_store.ReadFile(m_path.c_str()));
    EXPECT_TRUE(Refused("cannot read '" + m_path + "': File too large"));
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
    EXPECT_EQ("v=w", Value("t", "k")) << "a bad file changes nothing";

    // What the format could not read back is refused: a carriage return would end a line.
    for (const char* key : {"k=1", "", "a]b", "a\rb", "a\nb"})
        EXPECT_FALSE(Set("s", key, "v")) << key;
    for (const char* value : {"two\nlines", "car\rriage", " padded", "x\t"})
        EXPECT_FALSE(Set("s", "k", value)) << value;
    EXPECT_FALSE(Set("s\rt", "k", "v"));
    EXPECT_EQ("<none>", Value("s", "k"));
    // Only a regular file is read (a pipe would block) or replaced.
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(0, m_store.ReadFile(fifo.c_str()));
    EXPECT_TRUE(Refused("cannot read '" + fifo + "': not a regular file"));
    m_store.m_fileName.Assign(fifo.c_str(), static_cast<unsigned>(fifo.size()));
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_TRUE(Refused("not a regular file"));
    struct stat st;
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// A section owns the comments just above its header; what a change does not touch is kept as read.
TEST_F(StoreTest, CommitKeepsEveryLineItDoesNotChange)
{
    const std::string kept = "# head\n\n# about a\n[a]\nx = 1\n; note\ny=2\n";
    const std::string tail = "\n[c]\r\nz = 3\n# trailing\n";
    ASSERT_EQ(1, m_store.ReadFile(Write(kept + "\n# about b\n[b]\nk = v\n" + tail)));
    ASSERT_TRUE(Set("a", "x", "10") && Set("a", "w", "new") && Set("d", "p", "q"));
    ASSERT_EQ(1, m_store.RemoveSection(BString("b")));
    EXPECT_EQ(0, m_store.RemoveSection(BString("b")));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    const std::string changed = "# head\n\n# about a\n[a]\nx = 10\n; note\ny=2\nw = new\n" + tail;
    EXPECT_EQ(changed + "\n[d]\np = q\n", Contents(m_path));

    BFileNV reread;
    ASSERT_EQ(1, reread.ReadFile(m_path.c_str()));
    BString name;
    EXPECT_EQ(3, reread.SectionCount());
    EXPECT_TRUE(reread.SectionNameAt(2, name) && std::string("d") == name.c_str());
    EXPECT_TRUE(reread.RemoveSection(BString("a")) && reread.RemoveSection(BString("c")));
    EXPECT_TRUE(reread.SectionNameAt(0, name) && std::string("d") == name.c_str());
    // Removing what was appended gives back the file as it was.
    ASSERT_EQ(1, m_store.RemoveSection(BString("d")));
    ASSERT_EQ(1, m_store.Commit());
    EXPECT_EQ(changed, Contents(m_path));
}

TEST_F(StoreTest, CommitRefusesAFileChangedOnDiskAndLeavesItAsEdited)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    // An edit of the same size, a longer one, and a removal.
    for (const char* edit : {"[a]\nk = 2\n", "[a]\nk = 1\n[hand]\nx = y\n", ""}) {
        if (*edit != '\0')
            Write(edit);
        else
            unlink(m_path.c_str());
        ASSERT_TRUE(Set("a", "k", "3"));
        EXPECT_EQ(0, m_store.Commit()) << edit;
        EXPECT_TRUE(Refused("cannot write '" + m_path +
                            "': the file changed on disk since it was last read; run \"xdll -r\" "
                            "first"))
            << m_store.LastError();
        EXPECT_EQ(edit, Contents(m_path));
    }
    // A store that never read the file does not overwrite it either.
    BFileNV unread(Write("[hand]\nx = y\n"));
    EXPECT_EQ(0, unread.Commit());
    // Nor one that read another file.
    Write("[other]\n", m_dir + "/other.conf");
    unread.ReadFile((m_dir + "/other.conf").c_str());
    unread.m_fileName = BString(m_path.c_str());
    EXPECT_EQ(0, unread.Commit());
    unlink((m_dir + "/other.conf").c_str());
    // Once re-read, the edit is kept.
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_TRUE(Set("a", "k", "3"));
    ASSERT_EQ(1, m_store.Commit());
    EXPECT_EQ("[hand]\nx = y\n\n[a]\nk = 3\n", Contents(m_path));
    EXPECT_EQ((std::set<std::string>{"murox.conf"}), Names(m_dir));
}

TEST_F(StoreTest, CommitFollowsNoStrangerKeepsLinksAndLeavesNoTemporary)
{
    // A link planted where a temporary file used to be made is not followed.
    const std::string victim = m_dir + "/victim";
    Write("secret", victim);
    chmod(victim.c_str(), 0600);
    ASSERT_EQ(0, symlink(victim.c_str(), (m_path + ".tmp").c_str()));
    // A new file gets 0644 less the umask.
    const mode_t umaskWas = umask(027);
    ASSERT_TRUE(Set("a", "k", "1"));
    m_store.m_fileName = BString(m_path.c_str());
    EXPECT_EQ(1, m_store.Commit()) << m_store.LastError();
    umask(umaskWas);
    struct stat st;
    ASSERT_EQ(0, lstat(m_path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("[a]\nk = 1\n", Contents(m_path));
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_TRUE((st.st_mode & 07777) == 0600 && Contents(victim) == "secret");
    EXPECT_EQ((std::set<std::string>{"murox.conf", "murox.conf.tmp", "victim"}), Names(m_dir));

    // Through a link, the link stays and its target, elsewhere, is replaced.
    const std::string link = m_dir + "/link.conf", real = m_dir + "/real";
    ASSERT_EQ(0, mkdir(real.c_str(), 0700));
    Write("# real\n[r]\nk = 1\n", real + "/target.conf");
    ASSERT_EQ(0, symlink("real/target.conf", link.c_str()));
    ASSERT_EQ(1, m_store.ReadFile(link.c_str()));
    ASSERT_TRUE(Set("r", "k", "2"));
    EXPECT_EQ(1, m_store.Commit()) << m_store.LastError();
    char target[64] = {};
    EXPECT_EQ("real/target.conf", std::string(target, readlink(link.c_str(), target, 63)));
    EXPECT_EQ("# real\n[r]\nk = 2\n", Contents(real + "/target.conf"));
    EXPECT_EQ((std::set<std::string>{"target.conf"}), Names(real));

    // A failed write leaves the file as it was, and no temporary file.
    ASSERT_TRUE(Set("r", "k", "3"));
    {
        TFullDisk full;
        EXPECT_EQ(0, m_store.Commit());
    }
    EXPECT_TRUE(Refused("File too large")) << m_store.LastError();
    EXPECT_EQ("# real\n[r]\nk = 2\n", Contents(real + "/target.conf"));
    EXPECT_EQ((std::set<std::string>{"target.conf"}), Names(real));
}

// Root, and root with CAP_CHOWN alone as packaged: another user's file keeps owner, group and mode.
TEST_F(StoreTest, CommitKeepsModeOwnerAndGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner takes root";
    for (const bool chownOnly : {false, true}) {
        ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
        ASSERT_EQ(0, chown(m_path.c_str(), 1, 2));
        ASSERT_EQ(0, chmod(m_path.c_str(), 0604));
        ASSERT_TRUE(Set("a", "k", "2"));
        const pid_t child = fork();
        if (child == 0) {
            __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2] = {};
            data[0].effective = data[0].permitted = 1u << CAP_CHOWN;
            if (chownOnly && syscall(SYS_capset, &header, data) != 0)
                _exit(2);
            if (m_store.Commit() == 1)
                _exit(0);
            std::fprintf(stderr, "%s\n", m_store.LastError());
            _exit(1);
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_EQ(0, status) << "with CAP_CHOWN only: " << chownOnly;
        struct stat st;
        ASSERT_EQ(0, stat(m_path.c_str(), &st));
        EXPECT_EQ(0604u, st.st_mode & 07777);
        EXPECT_TRUE(st.st_uid == 1 && st.st_gid == 2) << st.st_uid << ':' << st.st_gid;
        EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    }
}

// Set-id bits, cleared by a change of owner, and the sticky bit: another's file keeps its mode.
TEST_F(StoreTest, CommitKeepsSetIdBitsThroughTheChangeOfOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner takes root";
    for (const mode_t mode : {07754, 02670, 04700}) {
        ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
        ASSERT_EQ(0, chown(m_path.c_str(), 1, 2));
        ASSERT_EQ(0, chmod(m_path.c_str(), mode));
        ASSERT_TRUE(Set("a", "k", "2"));
        ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
        struct stat st;
        ASSERT_EQ(0, stat(m_path.c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777) << std::oct << mode;
        EXPECT_TRUE(st.st_uid == 1 && st.st_gid == 2) << st.st_uid << ':' << st.st_gid;
        EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    }
}

} // namespace
