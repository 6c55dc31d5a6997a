// Switch splitting and the table-driven lookups of the handler base.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BCmdHandler.h"
#include "hostapi/BCmdLineParser.h"
#include "support/VirtualSlot.h"

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

class TTableHandler : public KAF::BCmdHandler {
public:
    void CmdExecute(KAF::ICmdStream&, const BString&, const KAF::BStringArray&,
                    const KAF::BSecurityParams&, const BString&) override
    {
    }
    const char* CmdGetHndlrName() const override { return "\"TTable\""; }
    const CliEntry* CmdGetMap() const override { return s_rows; }

    static const CliEntry s_rows[3];
};

const CliEntry TTableHandler::s_rows[3] = {
    {7, "one", "help one", "args one"},
    {9, "two", "help two", "args two"},
    {-1, nullptr, nullptr, nullptr},
};

class TNullStream : public KAF::ICmdStream {
public:
    void Write(const BString&) override { ++m_writes; }
    int m_writes = 0;
};

TEST(BCmdHandler, LookupsAreAnsweredFromTheTable)
{
    TTableHandler handler;
    KAF::BCmdHandler& base = handler;
    EXPECT_STREQ("\"TTable\"", base.CmdHndlrName());
    EXPECT_EQ(2, base.CmdCount());
    EXPECT_STREQ("one", base.CmdNameAt(0));
    EXPECT_STREQ("two", base.CmdNameAt(1));
    EXPECT_EQ(nullptr, base.CmdNameAt(2));
    EXPECT_EQ(nullptr, base.CmdNameAt(-1));
    EXPECT_EQ(9, base.CmdId(BString("two")));
    EXPECT_EQ(-1, base.CmdId(BString("tw")));
    EXPECT_EQ(-1, base.CmdId(BString("twoo")));
    EXPECT_STREQ("help one", base.CmdGetDescr(BString("one")));
    EXPECT_STREQ("args two", base.CmdGetArgsDescr(BString("two")));
    EXPECT_EQ(nullptr, base.CmdGetDescr(BString("three")));

    TNullStream out;
    EXPECT_EQ(7, base.CmdId(BString("one"), out));
    EXPECT_EQ(-1, base.CmdId(BString("nope"), out));
    EXPECT_EQ(0, out.m_writes);
}

} // namespace
