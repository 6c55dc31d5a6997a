// Switch splitting, which the "xdll" command relies on.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BCmdLineParser.h"

namespace {

using KAF::BCmdLineParser;
using KAF::BString;

struct TSplit {
    const char* word;
    int isSwitch;
    int accepted;
    char letter;
    const char* value;
};

TEST(BCmdLineParser, RecognisesAndSplitsSwitches)
{
    const TSplit cases[] = {
        {"-l", 1, 1, 'l', ""},        {"-lfoo", 1, 1, 'l', "foo"}, {"-L", 1, 1, 'L', ""},
        {"-5", 1, 1, '5', ""},        {"-", 0, 0, 0, nullptr},     {"", 0, 0, 0, nullptr},
        {"foo", 0, 0, 0, nullptr},    {"a-l", 0, 0, 0, nullptr},   {"--", 1, 0, 0, nullptr},
        {"--load", 1, 0, 0, nullptr}, {"-\xe9", 1, 1, '\xe9', ""}, {"-l-", 1, 1, 'l', "-"},
    };
    for (const TSplit& c : cases) {
        SCOPED_TRACE(c.word);
        const BString word(c.word);
        EXPECT_EQ(c.isSwitch, BCmdLineParser::IsSwitch(word) != 0);
        char letter = '?';
        BString value("untouched");
        EXPECT_EQ(c.accepted, BCmdLineParser::SplitSwitch(word, letter, value) != 0);
        if (c.accepted) {
            EXPECT_EQ(c.letter, letter);
            EXPECT_STREQ(c.value, value.c_str());
        } else {
            EXPECT_EQ('?', letter);
            EXPECT_STREQ("untouched", value.c_str());
        }
    }
}

} // namespace
