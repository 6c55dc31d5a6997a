// Where each section and key stood, and every bad line of a file: what the check builds on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host/kaf/StoreLines.h"
#include "tests/kaf/StoreFixture.h"

namespace {

using TKeyLine = KAF::BConfigDocument::TKeyLine;
using TLineProblem = KAF::BConfigDocument::TLineProblem;

std::vector<std::pair<std::string, std::size_t>> Pairs(const std::vector<TKeyLine>& keys)
{
    std::vector<std::pair<std::string, std::size_t>> pairs;
    for (const TKeyLine& key : keys)
        pairs.emplace_back(key.key, key.line);
    return pairs;
}

std::vector<std::pair<std::size_t, std::string>> Pairs(const std::vector<TLineProblem>& problems)
{
    std::vector<std::pair<std::size_t, std::string>> pairs;
    for (const TLineProblem& problem : problems)
        pairs.emplace_back(problem.line, problem.why);
    return pairs;
}

class StoreLinesTest : public StoreTest {};

using Key = std::pair<std::string, std::size_t>;
using Problem = std::pair<std::size_t, std::string>;

TEST_F(StoreLinesTest, SaysWhereEachSectionAndKeyStands)
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
    EXPECT_THAT(Pairs(KAF::KeyLines(m_store, "a")),
                testing::ElementsAre(Key{"zeta", 5}, Key{"alpha", 7}, Key{"mu", 8}, Key{"beta", 9},
                                     Key{"omega", 10}, Key{"kappa", 11}));
    EXPECT_THAT(KAF::KeyLines(m_store, "none"), testing::IsEmpty());

    // A changed value keeps its line; what is added stood on none.
    ASSERT_TRUE(Set("a", "zeta", "10") && Set("a", "new", "x") && Set("d", "p", "q"));
    EXPECT_EQ(5U, KAF::KeyLine(m_store, "a", "zeta"));
    EXPECT_EQ(0U, KAF::KeyLine(m_store, "a", "new"));
    EXPECT_EQ(0U, KAF::SectionLine(m_store, "d"));
    EXPECT_EQ(Key("new", 0), Pairs(KAF::KeyLines(m_store, "a")).back());
    // Written and read again, they stand where the file now has them.
    ASSERT_EQ(1, m_store.Commit()) << m_store.LastError();
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    EXPECT_EQ(12U, KAF::KeyLine(m_store, "a", "new"));
    EXPECT_EQ(14U, KAF::SectionLine(m_store, "b c"));
    EXPECT_EQ(17U, KAF::SectionLine(m_store, "d"));
}

TEST_F(StoreLinesTest, ReadsAMalformedFileWholeNamingEveryBadLine)
{
    const std::string text = "k = outside\n[a]\nx = 1\njunk\nx = 2\n= v\n[a]\ny = under a repeat\n"
                             "[b\nz = 1\nmore junk\n= w\n[ ]\n[c]\nw = 3\n";
    ASSERT_EQ(0, m_store.ReadFile("/nonexistent-dir/x.conf"));
    std::vector<TLineProblem> problems;
    ASSERT_EQ(1, KAF::ReadFileLeniently(m_store, Write(text), problems));
    EXPECT_THAT(Pairs(problems),
                testing::ElementsAre(Problem{1, "key outside any section"},
                                     Problem{4, "expected [section] or key = value"},
                                     Problem{5, "key 'x' repeated"}, Problem{6, "empty key"},
                                     Problem{7, "section [a] repeated"},
                                     Problem{9, "section header without ']'"},
                                     Problem{11, "expected [section] or key = value"},
                                     Problem{12, "empty key"}, Problem{13, "bad section name"}));
    // A repeated key keeps its first value; what follows a refused header belongs to no section.
    EXPECT_EQ(2, m_store.SectionCount());
    EXPECT_EQ("1", Value("a", "x"));
    EXPECT_EQ("<none>", Value("a", "y"));
    EXPECT_EQ("<none>", Value("a", "z"));
    EXPECT_EQ("3", Value("c", "w"));
    EXPECT_EQ(14U, KAF::SectionLine(m_store, "c"));
    EXPECT_EQ(15U, KAF::KeyLine(m_store, "c", "w"));
    EXPECT_EQ(m_path, m_store.m_fileName.c_str());
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
    EXPECT_THAT(Pairs(problems), testing::ElementsAre(Problem{1, "section header without ']'"}));
    EXPECT_EQ(0, m_store.SectionCount());
    // The store's own read still stops at the first, changing nothing.
    ASSERT_EQ(1, m_store.ReadFile(Write("[kept]\nk = v\n")));
    EXPECT_EQ(0, m_store.ReadFile(Write(text)));
    EXPECT_STREQ(("malformed '" + m_path + "', line 1: key outside any section").c_str(),
                 m_store.LastError());
    EXPECT_EQ("v", Value("kept", "k"));
}

TEST_F(StoreLinesTest, ALenientReadOfAnUnreadableFileChangesNothing)
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
}

} // namespace
