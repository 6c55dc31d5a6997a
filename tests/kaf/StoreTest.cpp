// The file-backed configuration store: its format, bad files, commits that
// keep what they do not change and follow nothing a stranger planted, and
// the lock on its file.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/kaf/StoreControl.h"
#include "hostapi/BFileNV.h"
#include "tests/support/FullDisk.h"

namespace {

using KAF::BFileNV;
using KAF::BString;
namespace fs = std::filesystem;

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether another open file could take the lock now.
bool Lockable(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

class StoreTest : public ::testing::Test {
protected:
    ~StoreTest() override { fs::remove_all(m_dir); }
    const char* Write(const std::string& text, const std::string& path = "")
    {
        std::ofstream(path.empty() ? m_path : path) << text;
        return m_path.c_str();
    }
    std::string Value(const char* section, const char* key)
    {
        BString value("<none>");
        m_store.GetValue(BString(section), BString(key), value);
        return value.c_str();
    }
    bool Set(const char* section, const char* key, const char* value)
    {
        return m_store.SetValue(BString(section), BString(key), BString(value)) != 0;
    }
    bool Refused(const std::string& reason)
    {
        return std::string(m_store.LastError()).find(reason) != std::string::npos;
    }
    // The names in a directory: no temporary file may stay behind.
    static std::set<std::string> Names(const std::string& dir)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.insert(entry.path().filename().string());
        return names;
    }

    const std::string m_dir = [] {
        std::string dir = ::testing::TempDir() + "murox-store-XXXXXX";
        return std::string(mkdtemp(&dir[0]) != nullptr ? dir : "");
    }();
    const std::string m_path = m_dir + "/murox.conf";
    BFileNV m_store;
};

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

    // Names and values the format could not read back are refused.
    for (const char* key : {"k=1", "", "a]b"})
        EXPECT_FALSE(Set("s", key, "v")) << key;
    EXPECT_FALSE(Set("s", "k", "two\nlines") || Set("s", "k", " padded") || Set("s", "k", "x\t"));
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

// A section owns the comments directly above its header; what a change
// does not touch is written back as it was read.
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

TEST_F(StoreTest, CommitKeepsModeOwnerAndGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner takes root";
    ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
    ASSERT_EQ(0, chown(m_path.c_str(), 1, 2));
    ASSERT_EQ(0, chmod(m_path.c_str(), 0640));
    ASSERT_TRUE(Set("a", "k", "2"));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    struct stat st;
    ASSERT_EQ(0, stat(m_path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_TRUE(st.st_uid == 1 && st.st_gid == 2) << st.st_uid << ':' << st.st_gid;
    EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
}

TEST_F(StoreTest, TheLockRefusesASecondHolderAndStaysOnTheLiveFile)
{
    std::string message;
    const std::string byMe = m_path + " is in use by " + program_invocation_short_name + " pid " +
                             std::to_string(getpid());
    {
        BFileNV holder, other;
        ASSERT_TRUE(KAF::LockConfig(Write("[a]\nk = 1\n"), holder, message)) << message;
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str()));
        EXPECT_FALSE(KAF::LockConfig(m_path, other, message));
        EXPECT_EQ(byMe, message);
        EXPECT_TRUE(KAF::LockConfig(m_path, holder, message)) << "the holder may ask again";
        // The new file is locked before it takes the old one's place.
        ASSERT_EQ(1, holder.SetValue(BString("a"), BString("k"), BString("2")));
        ASSERT_EQ(1, holder.Commit()) << holder.LastError();
        EXPECT_FALSE(Lockable(m_path));
        // A store without the lock does not write over the holder's file.
        ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
        ASSERT_TRUE(Set("a", "k", "3"));
        EXPECT_EQ(0, m_store.Commit());
        EXPECT_EQ(byMe, m_store.LastError());
        // A file put in place by hand: a re-read moves the lock to it,
        // unless someone else holds it.
        Write("[a]\nk = 4\n", m_path + ".new");
        ASSERT_EQ(0, rename((m_path + ".new").c_str(), m_path.c_str()));
        const int fd = open(m_path.c_str(), O_RDONLY);
        ASSERT_EQ(0, flock(fd, LOCK_EX));
        EXPECT_EQ(0, holder.ReadFile(m_path.c_str()));
        EXPECT_EQ(byMe, holder.LastError());
        close(fd);
        ASSERT_EQ(1, holder.ReadFile(m_path.c_str()));
        EXPECT_FALSE(Lockable(m_path));
    }
    EXPECT_TRUE(Lockable(m_path)) << "the store lets go when it ends";
    BFileNV other;
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_FALSE(KAF::LockConfig(fifo, other, message));
    EXPECT_EQ("cannot lock '" + fifo + "': not a regular file", message);
    EXPECT_FALSE(KAF::LockConfig(fifo + ".none", other, message));
    EXPECT_EQ("cannot lock '" + fifo + ".none': No such file or directory", message);
    unlink(fifo.c_str());
    // Locking another file lets go of the first.
    Write("", m_dir + "/other.conf");
    ASSERT_TRUE(KAF::LockConfig(m_path, other, message));
    ASSERT_TRUE(KAF::LockConfig(m_dir + "/other.conf", other, message));
    EXPECT_TRUE(Lockable(m_path));

    // A daemon's lock names the socket to use instead; only an flock on
    // this very file counts.
    const std::pair<std::vector<const char*>, std::string> holders[] = {
        {{"--daemon", "--socket", "/run/a.ctl"},
         " (a daemon serving /run/a.ctl): use murox --remote"},
        {{"--daemon", "--socket=/run/b.ctl"}, " (a daemon serving /run/b.ctl): use murox --remote"},
        {{"--daemon"}, " (a daemon serving its default socket): use murox --remote"},
        {{"-e", "--daemon"}, ""}};
    for (const auto& [options, serving] : holders) {
        int input[2];
        ASSERT_EQ(0, pipe2(input, O_CLOEXEC));
        std::vector<const char*> argv = {"flock", "-o",     m_path.c_str(),   "sh",
                                         "-c",    "read x", "/usr/sbin/murox"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(input[0], 0);
            execvp(argv[0], const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(input[0]);
        for (int tenths = 0; tenths < 100 && Lockable(m_path); ++tenths)
            usleep(100000);
        // Newer locks, listed first: a record lock here, an flock elsewhere.
        const int record = open(m_path.c_str(), O_RDONLY),
                  elsewhere = open(m_dir.c_str(), O_RDONLY);
        struct flock range = {};
        range.l_type = F_RDLCK;
        EXPECT_TRUE(fcntl(record, F_SETLK, &range) == 0 && flock(elsewhere, LOCK_EX) == 0);
        EXPECT_FALSE(KAF::LockConfig(m_path, other, message));
        EXPECT_EQ(m_path + " is in use by murox pid " + std::to_string(pid) + serving, message);
        close(record);
        close(elsewhere);
        close(input[1]); // ends the shell, which has no other writer
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

} // namespace
