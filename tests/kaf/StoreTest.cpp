// The file-backed configuration store: its format, bad files, and commits.
#include <gtest/gtest.h>

#include <fstream>
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

    const std::string m_path =
        ::testing::TempDir() + "murox-store-" + std::to_string(getpid()) + ".conf";
    const std::string m_fifo = m_path + ".fifo";
    BFileNV m_store;
};

// What a commit writes is checked where the registry adds and deletes
// libraries; here what the format admits and refuses.
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
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
    EXPECT_EQ("v=w", Value("t", "k")) << "a bad file changes nothing";

    // Names and values the format could not read back are refused.
    for (const char* key : {"k=1", "", "a]b"})
        EXPECT_EQ(0, m_store.SetValue(BString("s"), BString(key), BString("v"))) << key;
    EXPECT_EQ(0, m_store.SetValue(BString("s"), BString("k"), BString("two\nlines")));
    // Only a regular file is ever replaced.
    ASSERT_EQ(0, mkfifo(m_fifo.c_str(), 0600));
    m_store.m_fileName.Assign(m_fifo.c_str(), static_cast<unsigned>(m_fifo.size()));
    EXPECT_EQ(0, m_store.Commit());
    EXPECT_TRUE(Refused("not a regular file"));
    struct stat st;
    EXPECT_TRUE(stat(m_fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

} // namespace
