// The file-backed configuration store: its format, bad files, and commits.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "hostapi/BFileNV.h"

namespace {

using KAF::BFileNV;
using KAF::BString;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/murox-store-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_dir = dir;
    }
    void TearDown() override
    {
        for (const char* name : {"a.conf", "b.conf", "a.conf.tmp"})
            std::remove((m_dir + "/" + name).c_str());
        rmdir(m_dir.c_str());
    }
    std::string Write(const char* name, const std::string& text)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string Value(const BFileNV& store, const char* section, const char* key)
    {
        BString value("<none>");
        store.GetValue(BString(section), BString(key), value);
        return value.c_str();
    }

    std::string m_dir;
};

TEST_F(StoreTest, ReadsSectionsAndValuesInFileOrder)
{
    const std::string path = Write("a.conf", "# comment\n"
                                             "; another\n"
                                             "\n"
                                             "[second one]\n"
                                             "  path =  /x/y z  \n"
                                             "empty =\n"
                                             "[first]\r\n"
                                             "k=v=w\n");
    BFileNV store;
    ASSERT_EQ(1, store.ReadFile(path.c_str())) << store.LastError();
    EXPECT_STREQ("", store.LastError());
    EXPECT_STREQ(path.c_str(), store.m_fileName.c_str());
    ASSERT_EQ(2, store.SectionCount());
    BString name;
    ASSERT_EQ(1, store.SectionNameAt(0, name));
    EXPECT_STREQ("second one", name.c_str());
    ASSERT_EQ(1, store.SectionNameAt(1, name));
    EXPECT_STREQ("first", name.c_str());
    EXPECT_EQ(0, store.SectionNameAt(2, name));
    EXPECT_EQ("/x/y z", Value(store, "second one", "path"));
    EXPECT_EQ("", Value(store, "second one", "empty"));
    EXPECT_EQ("v=w", Value(store, "first", "k"));
    EXPECT_EQ("<none>", Value(store, "first", "path"));
    EXPECT_EQ("<none>", Value(store, "third", "k"));
}

TEST_F(StoreTest, BadFilesKeepTheContentsAndSayWhy)
{
    const std::string good = Write("a.conf", "[s]\nk = v\n");
    BFileNV store;
    ASSERT_EQ(1, store.ReadFile(good.c_str()));

    struct TBad {
        const char* text;
        const char* reason;
    } const bad[] = {
        {"k = v\n", "line 1: key outside any section"},
        {"[s]\njunk\n", "line 2: expected [section] or key = value"},
        {"[s\n", "line 1: section header without ']'"},
        {"[]\n", "line 1: bad section name"},
        {"[s]\n[s]\n", "line 2: section [s] repeated"},
        {"[s]\nk=1\nk=2\n", "line 3: key 'k' repeated"},
        {"[s]\n= v\n", "line 2: empty key"},
    };
    for (const TBad& b : bad) {
        SCOPED_TRACE(b.text);
        const std::string path = Write("b.conf", b.text);
        EXPECT_EQ(0, store.ReadFile(path.c_str()));
        EXPECT_NE(std::string::npos, std::string(store.LastError()).find(b.reason))
            << store.LastError();
        EXPECT_STREQ(good.c_str(), store.m_fileName.c_str());
        EXPECT_EQ(1, store.SectionCount());
        EXPECT_EQ("v", Value(store, "s", "k"));
    }

    EXPECT_EQ(0, store.ReadFile((m_dir + "/missing.conf").c_str()));
    EXPECT_NE(std::string::npos, std::string(store.LastError()).find("cannot read"))
        << store.LastError();
    EXPECT_EQ(0, store.ReadFile(nullptr));
    EXPECT_EQ("v", Value(store, "s", "k"));

    ASSERT_EQ(1, store.ReadFile(good.c_str()));
    EXPECT_STREQ("", store.LastError()) << "a good read clears the last error";
}

TEST_F(StoreTest, CommitWritesWhatReadsBackAndKeepsOtherSections)
{
    const std::string path = Write("a.conf", "[one]\na = 1\n[two]\nb = 2\n[three]\nc = 3\n");
    BFileNV store;
    ASSERT_EQ(1, store.ReadFile(path.c_str()));
    EXPECT_EQ(1, store.SetValue(BString("two"), BString("b"), BString("22")));
    EXPECT_EQ(1, store.SetValue(BString("two"), BString("extra"), BString("")));
    EXPECT_EQ(1, store.SetValue(BString("four"), BString("d"), BString("4")));
    EXPECT_EQ(1, store.RemoveSection(BString("one")));
    EXPECT_EQ(0, store.RemoveSection(BString("one")));
    ASSERT_EQ(1, store.Commit()) << store.LastError();
    EXPECT_EQ("[two]\nb = 22\nextra = \n\n[three]\nc = 3\n\n[four]\nd = 4\n", Read(path));
    EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK)) << "no temporary file is left behind";

    BFileNV again;
    ASSERT_EQ(1, again.ReadFile(path.c_str())) << again.LastError();
    EXPECT_EQ(3, again.SectionCount());
    EXPECT_EQ("22", Value(again, "two", "b"));
    EXPECT_EQ("4", Value(again, "four", "d"));
}

TEST_F(StoreTest, RefusesNamesAndValuesTheFormatCannotHold)
{
    BFileNV store((m_dir + "/a.conf").c_str());
    EXPECT_EQ(0, store.SetValue(BString("a]b"), BString("k"), BString("v")));
    EXPECT_EQ(0, store.SetValue(BString("s"), BString("k=1"), BString("v")));
    EXPECT_EQ(0, store.SetValue(BString("s"), BString(""), BString("v")));
    EXPECT_EQ(0, store.SetValue(BString("s"), BString("k"), BString("two\nlines")));
    EXPECT_EQ(0, store.SetValue(BString("s"), BString("k"), BString(" padded")));
    EXPECT_EQ(0, store.SectionCount());
}

TEST_F(StoreTest, FailedCommitKeepsTheFileAndSaysWhy)
{
    const std::string path = Write("a.conf", "[s]\nk = v\n");
    BFileNV store;
    ASSERT_EQ(1, store.ReadFile(path.c_str()));
    store.SetValue(BString("s"), BString("k"), BString("new"));
    store.m_fileName.Assign("/nonexistent-dir/x.conf", 23);
    EXPECT_EQ(0, store.Commit());
    EXPECT_NE(std::string::npos, std::string(store.LastError()).find("cannot write"))
        << store.LastError();
    EXPECT_EQ("[s]\nk = v\n", Read(path));
    EXPECT_EQ("new", Value(store, "s", "k")) << "contents stay in memory";
}

} // namespace
