// What a terminal is shown of a peer's text: control characters and bytes
// that are no UTF-8 as \xHH, everything else as it came, whether the text
// comes whole or in pieces cut anywhere.
#include <gtest/gtest.h>

#include "host/protocol/VisibleText.h"

namespace {

using control::VisibleText;

TEST(VisibleTextTest, TextAndValidUtf8AreKept)
{
    const std::string kept[] = {"",
                                "plain text\n\tindented \\x1b as typed ~",
                                "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80",
                                "\xc2\xa0\xc2\xbf",         // U+00A0, right after the C1 range
                                "\xe0\xa0\x80\xed\x9f\xbf", // U+0800, U+D7FF
                                "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"}; // U+10000, U+10FFFF
    for (const std::string& text : kept)
        EXPECT_EQ(text, VisibleText(text));
}

TEST(VisibleTextTest, ControlCharactersAndBytesThatAreNoUtf8AreEscaped)
{
    EXPECT_EQ("\\x1b[2J\\x1b]0;title\\x07", VisibleText("\x1b[2J\x1b]0;title\x07"));
    EXPECT_EQ("a\\x0d\\x1b[Kb\\x08\\x7f\\x00\\x1f",
              VisibleText(std::string("a\r\x1b[Kb\b\x7f\0\x1f", 10)));
    // C1 controls, encoded or as stray bytes.
    EXPECT_EQ("\\xc2\\x9b2J\\xc2\\x80", VisibleText("\xc2\x9b"
                                                    "2J\xc2\x80"));
    EXPECT_EQ("\\x9b2J\\x85", VisibleText("\x9b"
                                          "2J\x85"));
    // Overlong forms, a surrogate, beyond U+10FFFF, bytes never used.
    EXPECT_EQ("\\xc0\\xaf\\xe0\\x80\\xaf", VisibleText("\xc0\xaf\xe0\x80\xaf"));
    EXPECT_EQ("\\xed\\xa0\\x80", VisibleText("\xed\xa0\x80"));
    EXPECT_EQ("\\xf4\\x90\\x80\\x80\\xf5\\xff", VisibleText("\xf4\x90\x80\x80\xf5\xff"));
    // A sequence cut short, at the end or by another character.
    EXPECT_EQ("\\xe2\\x82", VisibleText("\xe2\x82"));
    EXPECT_EQ("\\xe2\\x82x\\xf0\\x9f\\x98\n", VisibleText("\xe2\x82x\xf0\x9f\x98\n"));
}

TEST(VisibleTextTest, PiecesCutAnywhereShowAsTheWhole)
{
    const std::string text = "a\xe6\xbc\xa2\x1b[1m\xf0\x9f\x98\x80\xc2\x9b\xe2\x82z\xc3\xa9";
    const std::string whole = VisibleText(text);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        control::BVisibleText stream;
        std::string shown = stream.Add(text.data(), cut);
        shown += stream.Add(text.data() + cut, text.size() - cut);
        EXPECT_EQ(whole, shown + stream.End()) << "cut at " << cut;
    }
    control::BVisibleText bytewise;
    std::string shown;
    for (const char byte : text)
        shown += bytewise.Add(&byte, 1);
    EXPECT_EQ(whole, shown + bytewise.End());
    // What is held back waits for the next piece or the end.
    control::BVisibleText cut;
    EXPECT_EQ("x", cut.Add("x\xe2\x82", 3));
    EXPECT_EQ("\\xe2\\x82", cut.End());
    EXPECT_EQ("", cut.End());
}

} // namespace
