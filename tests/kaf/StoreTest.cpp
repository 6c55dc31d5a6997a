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
    ~StoreTest() override
    {
        for (const std::string& path : {m_path, m_fifo})
            unlink(path.c_str());
    }
    const char* Write(const std::string& text)
    {
        std::ofstream(m_path) << text;
        return m_path.c_str();
    }
    std::string Value(const char* section, const char* key)
    {
        BString value("<none>");
        m_store.GetValue(BString(section), BString(key), value);
        return value.c_str();
    }
    bool Refused(const char* szReason)
    {
        return std::string(m_store.LastError()).find(szReason) != std::string::npos;
    }

    const std::string m_path = ::testing::TempDir() + "murox-store-" + std::to_string(getpid()) + ".conf";
    const std::string m_fifo = m_path + ".fifo";
    BFileNV m_store;
};

TEST_F(StoreTest, ReadsSectionsAndValuesInFileOrderAndKeepsThemThroughABadFile)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("# comment\n; another\n\n[second one]\n  path =  /x/y z  \n"
                                        "empty =\n[first]\r\nk=v=w\n")));
    EXPECT_STREQ("", m_store.LastError());
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
    BString name;
    ASSERT_EQ(2, m_store.SectionCount());
    EXPECT_TRUE(m_store.SectionNameAt(1, name) && name.c_str() == std::string("first"));
    EXPECT_EQ("/x/y z", Value("second one", "path"));
    EXPECT_EQ("", Value("second one", "empty"));
    EXPECT_EQ("v=w", Value("first", "k"));
    EXPECT_EQ("<none>", Value("first", "path"));
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
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
    EXPECT_EQ("v=w", Value("first", "k")) << "a bad file changes nothing";
}

TEST_F(StoreTest, CommitWritesWhatReadsBackAndReplacesOnlyARegularFile)
{
    ASSERT_EQ(1, m_store.ReadFile(Write("[one]\na = 1\n[two]\nb = 2\n")));
    EXPECT_EQ(1, m_store.SetValue(BString("two"), BString("b"), BString("22")));
    EXPECT_EQ(1, m_store.SetValue(BString("four"), BString("d"), BString("")));
    EXPECT_EQ(1, m_store.RemoveSection(BString("one")));
    EXPECT_EQ(0, m_store.RemoveSection(BString("one")));
    // Names and values the format could not read back are refused.
    for (const char* key : {"k=1", "", "a]b"})
        EXPECT_EQ(0, m_store.SetValue(BString("s"), BString(key), BString("v"))) << key;
    EXPECT_EQ(0, m_store.SetValue(BString("s"), BString("k"), BString("two\nlines")));
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    std::ostringstream text;
    text << std::ifstream(m_path).rdbuf();
    EXPECT_EQ("[two]\nb = 22\n\n[four]\nd = \n", text.str());
    EXPECT_NE(0, access((m_path + ".tmp").c_str(), F_OK)) << "no temporary file is left behind";

    m_store.SetValue(BString("two"), BString("b"), BString("kept"));
    ASSERT_EQ(0, mkfifo(m_fifo.c_str(), 0600));
    m_store.m_fileName.Assign(m_fifo.c_str(), static_cast<unsigned>(m_fifo.size()));
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_TRUE(Refused("not a regular file"));
    struct stat st;
    EXPECT_TRUE(stat(m_fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ("kept", Value("two", "b")) << "contents stay in memory";
}

} // namespace
