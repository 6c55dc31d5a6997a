// What the store's tests share: a fresh directory with a configuration file in it, and a store.
#ifndef TESTS_KAF_STOREFIXTURE_H
#define TESTS_KAF_STOREFIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "hostapi/BFileNV.h"
#include "tests/support/Scratch.h"

namespace {

using KAF::BFileNV;
using KAF::BString;
namespace fs = std::filesystem;
using TNames = std::set<std::string>;

using testsupport::Contents;

// The names in a directory: no temporary file may stay behind.
inline TNames Names(const std::string& dir)
{
    TNames names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

class StoreTest : public ::testing::Test {
protected:
    const char* Write(const std::string& text, const std::string& path = "")
    {
        std::ofstream(path.empty() ? m_path : path) << text;
        return m_path.c_str();
    }
    // The store read "[a]\nk = 1\n" and holds k = 2, not yet written.
    void Edit()
    {
        ASSERT_EQ(1, m_store.ReadFile(Write("[a]\nk = 1\n")));
        ASSERT_TRUE(Set("a", "k", "2"));
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
    std::string CannotWrite(const std::string& why) const
    {
        return "cannot write '" + m_path + "': " + why;
    }
    std::string Changed() const
    {
        return CannotWrite(
            "the file changed on disk since it was last read; run \"xdll -r\" first");
    }
    // The file holds `text`, alone in its directory.
    void ExpectAlone(const std::string& text)
    {
        EXPECT_EQ(text, Contents(m_path));
        EXPECT_EQ(TNames{"murox.conf"}, Names(m_dir));
    }

    const testsupport::TScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
    const std::string m_path = m_dir + "/murox.conf";
    BFileNV m_store;
};

} // namespace

#endif
