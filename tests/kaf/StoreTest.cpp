// The file-backed configuration store: its format, bad files, and commits.
#include <gtest/gtest.h>

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
        for (const char* name : {"/a.conf", "/b.conf"})
            unlink((m_dir + name).c_str());
        rmdir(m_dir.c_str());
    }
    std::string Write(const char* name, const std::string& text)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << text;
        return path;
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
    const std::string path =
        Write("a.conf", "# comment\n; another\n\n[second one]\n  path =  /x/y z  \nempty =\n"
                        "[first]\r\nk=v=w\n");
    BFileNV store;
    ASSERT_EQ(1, store.ReadFile(path.c_str())) << store.LastError();
    EXPECT_STREQ("", store.LastError());
    EXPECT_STREQ(path.c_str(), store.m_fileName.c_str());
    BString name;
    ASSERT_EQ(2, store.SectionCount());
    EXPECT_TRUE(store.SectionNameAt(0, name) && name.c_str() == std::string("second one"));
    EXPECT_TRUE(store.SectionNameAt(1, name) && name.c_str() == std::string("first"));
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
        EXPECT_EQ(0, store.ReadFile(Write("b.conf", b[0]).c_str())) << b[0];
        EXPECT_NE(std::string::npos, std::string(store.LastError()).find(b[1]))
            << store.LastError();
    }
    EXPECT_EQ(0, store.ReadFile((m_dir + "/missing.conf").c_str()));
    EXPECT_NE(std::string::npos, std::string(store.LastError()).find("cannot read"));
    EXPECT_EQ(0, store.ReadFile(nullptr));
    EXPECT_STREQ(good.c_str(), store.m_fileName.c_str());
    EXPECT_EQ(1, store.SectionCount());
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
    EXPECT_EQ(1, store.SetValue(BString("four"), BString("d"), BString("")));
    EXPECT_EQ(1, store.RemoveSection(BString("one")));
    EXPECT_EQ(0, store.RemoveSection(BString("one")));
    // Names and values the format could not read back are refused.
    for (const char* key : {"k=1", "", "a]b"})
        EXPECT_EQ(0, store.SetValue(BString("s"), BString(key), BString("v"))) << key;
    EXPECT_EQ(0, store.SetValue(BString("s"), BString("k"), BString("two\nlines")));
    ASSERT_EQ(1, store.Commit()) << store.LastError();
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ("[two]\nb = 22\n\n[three]\nc = 3\n\n[four]\nd = \n", text.str());
    EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK)) << "no temporary file is left behind";

    store.SetValue(BString("two"), BString("b"), BString("lost"));
    store.m_fileName.Assign("/nonexistent-dir/x.conf", 23);
    EXPECT_EQ(0, store.Commit());
    EXPECT_NE(std::string::npos, std::string(store.LastError()).find("cannot write"));
    EXPECT_EQ("lost", Value(store, "two", "b")) << "contents stay in memory";

    // Only a regular file is ever replaced.
    const std::string fifo = m_dir + "/b.conf";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    store.m_fileName.Assign(fifo.c_str(), static_cast<unsigned>(fifo.size()));
    EXPECT_EQ(0, store.Commit());
    EXPECT_NE(std::string::npos, std::string(store.LastError()).find("not a regular file"));
    struct stat st;
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

    BFileNV again;
    ASSERT_EQ(1, again.ReadFile(path.c_str())) << again.LastError();
    EXPECT_EQ(3, again.SectionCount());
    EXPECT_EQ("22", Value(again, "two", "b"));
}

} // namespace
