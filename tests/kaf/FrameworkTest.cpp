// What the library relies on of the stand-in framework beyond what its own
// tests exercise: switch splitting, and empty and copied strings. Deeper
// behaviour is the reference host's, tested end to end.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BCmdLineParser.h"
#include "hostapi/BString.h"
#include "tests/support/Text.h"

namespace {

using KAF::BString;

TEST(BCmdLineParser, RecognisesAndSplitsSwitches)
{
    const struct {
        const char* word;
        int isSwitch, accepted;
        char letter;
        const char* value;
    } cases[] = {
        {"-l", 1, 1, 'l', ""},        {"-lfoo", 1, 1, 'l', "foo"}, {"-L", 1, 1, 'L', ""},
        {"-5", 1, 1, '5', ""},        {"-", 0, 0, 0, nullptr},     {"", 0, 0, 0, nullptr},
        {"foo", 0, 0, 0, nullptr},    {"a-l", 0, 0, 0, nullptr},   {"--", 1, 0, 0, nullptr},
        {"--load", 1, 0, 0, nullptr}, {"-\xe9", 1, 1, '\xe9', ""}, {"-l-", 1, 1, 'l', "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const BString word(c.word);
        EXPECT_EQ(c.isSwitch, KAF::BCmdLineParser::IsSwitch(word) != 0);
        char letter = '?';
        BString value("untouched");
        EXPECT_EQ(c.accepted, KAF::BCmdLineParser::SplitSwitch(word, letter, value) != 0);
        EXPECT_EQ(c.accepted ? c.letter : '?', letter);
        EXPECT_STREQ(c.accepted ? c.value : "untouched", value.c_str());
    }
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
