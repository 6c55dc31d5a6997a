// The configuration store: its format, where each line stands, bad files, commits that keep what
// they do not change; and what the store relies on of the framework's strings beyond what the
// library's own tests exercise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host/kaf/StoreLines.h"
#include "tests/kaf/StoreFixture.h"
#include "tests/support/ChildSays.h"
#include "tests/support/Text.h"

namespace {

using testing::ElementsAre;
using testing::FieldsAre;
using TLineProblem = KAF::BConfigDocument::TLineProblem;

TEST_F(StoreTest, ReadsTheFormatAndRefusesWhatItCannotHold)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("; comment\n[s one]\n  path =  /x/y z  \n[t]\r\nk=v=w\n")));
    EXPECT_TRUE(Value("s one", "path") == "/x/y z" && Value("t", "k") == "v=w");
    // The first bad line is named (each problem's text: the lenient read's test).
    EXPECT_EQ(0, m_store.ReadFile(Write("[s]\nk=1\nk=2\n[s\n")));
    EXPECT_EQ("malformed '" + m_path + "', line 3: key 'k' repeated", m_store.LastError());
    // What one read may allocate is bounded (64 MiB).
    ASSERT_EQ(0, truncate(Write(""), (64 << 20) + 1));
    EXPECT_EQ(0, m_store.ReadFile(m_path.c_str()));
    EXPECT_EQ("cannot read '" + m_path + "': File too large", m_store.LastError());
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
    alarm(10); // a store that waited for a writer would end the test here, not hang it
    EXPECT_EQ(0, m_store.ReadFile(fifo.c_str()));
    EXPECT_EQ("cannot read '" + fifo + "': not a regular file", m_store.LastError());
    m_store.m_fileName.Assign(fifo.c_str(), static_cast<unsigned>(fifo.size()));
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_EQ("cannot write '" + fifo + "': not a regular file", m_store.LastError());
    alarm(0);
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

TEST_F(StoreTest, CommitFollowsNoStrangerKeepsLinksAndLeavesNoTemporary)
{
    // A new file gets 0644 less the umask.
    const mode_t umaskWas = umask(027);
    ASSERT_TRUE(Set("a", "k", "1"));
    m_store.m_fileName = BString(m_path.c_str());
    EXPECT_EQ(1, m_store.Commit()) << m_store.LastError();
    umask(umaskWas);
    struct stat st;
    ASSERT_EQ(0, lstat(m_path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    ExpectAlone("[a]\nk = 1\n");

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
    EXPECT_EQ(TNames{"target.conf"}, Names(real));
}

// Another user's file keeps owner, group and mode, set-id bits (cleared by a change of owner) and
// the sticky bit included, written by root or, as packaged, by root with CAP_CHOWN alone.
TEST_F(StoreTest, CommitKeepsModeOwnerAndGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner takes root";
    const std::pair<mode_t, bool> cases[] = {
        {0604, true}, {0604, false}, {07754, false}, {02670, false}, {04700, false}};
    for (const auto& [mode, chownOnly] : cases) {
        SCOPED_TRACE(std::to_string(mode) + (chownOnly ? " with CAP_CHOWN alone" : ""));
        Edit();
        ASSERT_EQ(0, chown(m_path.c_str(), 1, 2));
        ASSERT_EQ(0, chmod(m_path.c_str(), mode));
        EXPECT_EQ("written", testsupport::ChildSays([&] {
                      __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
                      __user_cap_data_struct data[2] = {};
                      data[0].effective = data[0].permitted = 1u << CAP_CHOWN;
                      if (chownOnly && syscall(SYS_capset, &header, data) != 0)
                          return std::string("no capset");
                      return std::string(m_store.Commit() == 1 ? "written" : m_store.LastError());
                  }));
        struct stat st;
        ASSERT_EQ(0, stat(m_path.c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_TRUE(st.st_uid == 1 && st.st_gid == 2) << st.st_uid << ':' << st.st_gid;
        EXPECT_EQ("[a]\nk = 2\n", Contents(m_path));
    }
}

TEST_F(StoreTest, SaysWhereEachSectionAndKeyStands)
{
    // Comments, blank lines and carriage returns count as lines; keys listed as written.
    ASSERT_EQ(1, m_store.ReadFile(Write("# head\n\n# about a\n[a]\n  zeta = 1\n; note\nalpha=2\r\n"
                                        "mu = 3\nbeta = 4\nomega = 5\nkappa = 6\n\n[ b c ]\r\n"
                                        "k = v")));
    EXPECT_EQ(4U, KAF::SectionLine(m_store, "a"));
    EXPECT_EQ(13U, KAF::SectionLine(m_store, "b c"));
    EXPECT_EQ(0U, KAF::SectionLine(m_store, "none"));
    EXPECT_EQ(5U, KAF::KeyLine(m_store, "a", "zeta"));
    EXPECT_EQ(7U, KAF::KeyLine(m_store, "a", "alpha"));
    EXPECT_EQ(14U, KAF::KeyLine(m_store, "b c", "k")) << "a last line without a newline";
    EXPECT_EQ(0U, KAF::KeyLine(m_store, "a", "k"));
    EXPECT_EQ(0U, KAF::KeyLine(m_store, "none", "k"));
    EXPECT_THAT(KAF::KeyLines(m_store, "a"),
                ElementsAre(FieldsAre("zeta", 5), FieldsAre("alpha", 7), FieldsAre("mu", 8),
                            FieldsAre("beta", 9), FieldsAre("omega", 10), FieldsAre("kappa", 11)));
    EXPECT_THAT(KAF::KeyLines(m_store, "none"), testing::IsEmpty());

    // A changed value keeps its line; what is added stood on none.
    ASSERT_TRUE(Set("a", "zeta", "10") && Set("a", "new", "x") && Set("d", "p", "q"));
    EXPECT_EQ(5U, KAF::KeyLine(m_store, "a", "zeta"));
    EXPECT_EQ(0U, KAF::SectionLine(m_store, "d"));
    EXPECT_THAT(KAF::KeyLines(m_store, "a").back(), FieldsAre("new", 0));
    // Written and read again, they stand where the file now has them.
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    EXPECT_EQ(12U, KAF::KeyLine(m_store, "a", "new"));
    EXPECT_EQ(14U, KAF::SectionLine(m_store, "b c"));
    EXPECT_EQ(17U, KAF::SectionLine(m_store, "d"));
}

// A lenient read names every bad line and keeps what it can; one of an unreadable file changes
// nothing.
TEST_F(StoreTest, ReadsAMalformedFileWholeNamingEveryBadLine)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[kept]\nk = v\n")));
    std::vector<TLineProblem> problems;
    EXPECT_EQ(0, KAF::ReadFileLeniently(m_store, "/nonexistent-dir/x.conf", problems));
    EXPECT_STREQ("cannot read '/nonexistent-dir/x.conf': No such file or directory",
                 m_store.LastError());
    EXPECT_THAT(problems, testing::IsEmpty());
    EXPECT_EQ("v", Value("kept", "k"));
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
    EXPECT_EQ(1U, KAF::SectionLine(m_store, "kept"));

    const std::string text = "k = outside\n[a]\nx = 1\njunk\nx = 2\n= v\n[a]\ny = under a repeat\n"
                             "[b\nz = 1\nmore junk\n= w\n[ ]\n[c]\nw = 3\n";
    ASSERT_EQ(0, m_store.ReadFile("/nonexistent-dir/x.conf"));
    ASSERT_EQ(1, KAF::ReadFileLeniently(m_store, Write(text), problems));
    EXPECT_THAT(problems,
                ElementsAre(FieldsAre(1, "key outside any section"),
                            FieldsAre(4, "expected [section] or key = value"),
                            FieldsAre(5, "key 'x' repeated"), FieldsAre(6, "empty key"),
                            FieldsAre(7, "section [a] repeated"),
                            FieldsAre(9, "section header without ']'"),
                            FieldsAre(11, "expected [section] or key = value"),
                            FieldsAre(12, "empty key"), FieldsAre(13, "bad section name")));
    // A repeated key keeps its first value; what follows a refused header belongs to no section.
    EXPECT_EQ(2, m_store.SectionCount());
    EXPECT_TRUE(Value("a", "x") == "1" && Value("c", "w") == "3");
    EXPECT_TRUE(Value("a", "y") == "<none>" && Value("a", "z") == "<none>");
    EXPECT_EQ(14U, KAF::SectionLine(m_store, "c"));
    EXPECT_EQ(15U, KAF::KeyLine(m_store, "c", "w"));
    EXPECT_STREQ("", m_store.LastError());
    // Nothing is lost: written back, every line is as it was but the one changed.
    ASSERT_TRUE(Set("c", "w", "4"));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_EQ(text.substr(0, text.size() - 2) + "4\n", Contents(m_path));

    // A malformed header ends the comments of the next section: removing that section leaves them.
    ASSERT_EQ(1,
              KAF::ReadFileLeniently(m_store, Write("[a]\n# about b\n[b\n[c]\nx = 2\n"), problems));
    ASSERT_EQ(1, m_store.RemoveSection(BString("c")));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    EXPECT_EQ("[a]\n# about b\n[b\n", Contents(m_path));

    // Under a refused first header a key is not outside every section.
    problems.clear();
    ASSERT_EQ(1, KAF::ReadFileLeniently(m_store, Write("[x\nk = 1\n"), problems));
    EXPECT_THAT(problems, ElementsAre(FieldsAre(1, "section header without ']'")));
    EXPECT_EQ(0, m_store.SectionCount());
}

TEST(BString, EmptyStringsHaveNoBufferAndCopiesKeepTextsApart)
{
    BString none, null(static_cast<const char*>(nullptr)), empty(""), s("a longer text");
    none.Assign("", 0);
    for (const BString* p : {&none, &null, &empty}) {
        EXPECT_TRUE(p->m_pData == nullptr && p->m_length + p->m_capacity == 0);
        EXPECT_EQ(BString::_Nullstr(), p->c_str());
    }
    EXPECT_STREQ("", BString::_Nullstr());
    char* const pBuffer = s.m_pData;
    s.Assign("short", 5);
    EXPECT_EQ(pBuffer, s.m_pData) << "a shorter text reuses the buffer";
    s.Assign(s.c_str() + 1, 3);
    EXPECT_EQ("hor", Text(s)) << "text from the string's own buffer";
    BString copy;
    copy = s;
    EXPECT_TRUE(Text(copy) == "hor" && s.m_pData != copy.m_pData) << "copies never share";
    const BString& same = s;
    s = same;
    EXPECT_EQ(pBuffer, s.m_pData) << "self-assignment changes nothing";
    s.Release();
    EXPECT_TRUE(s.m_pData == nullptr && s.m_length + s.m_capacity == 0);
}

} // namespace
