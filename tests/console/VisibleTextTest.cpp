// A peer's text on a terminal: controls and bytes that are no UTF-8 as \xHH, whole or cut anywhere.
#include <gtest/gtest.h>

#include <utility>

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
    EXPECT_EQ("\\xc2\\x9f|\xc2\xa0", VisibleText("\xc2\x9f|\xc2\xa0")) << "the last C1 control";
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

// Characters that hide or reorder what follows ("U+202E" turns "exe.txt" around): escaped whole.
TEST(VisibleTextTest, CharactersThatHideOrReorderTextAreEscaped)
{
    const std::pair<const char*, const char*> hidden[] = {
        {"\xe2\x80\x8b", "\\xe2\\x80\\x8b"}, // U+200B zero width space
        {"\xe2\x80\x8f", "\\xe2\\x80\\x8f"}, // U+200F right-to-left mark
        {"\xe2\x80\xaa", "\\xe2\\x80\\xaa"}, // U+202A
        {"\xe2\x80\xae", "\\xe2\\x80\\xae"}, // U+202E right-to-left override
        {"\xe2\x81\xa6", "\\xe2\\x81\\xa6"}, // U+2066
        {"\xe2\x81\xa9", "\\xe2\\x81\\xa9"}, // U+2069
        {"\xef\xbb\xbf", "\\xef\\xbb\\xbf"}, // U+FEFF
    };
    for (const auto& [raw, shown] : hidden)
        EXPECT_EQ(std::string("a") + shown + "b", VisibleText(std::string("a") + raw + "b"))
            << shown;
    // Their neighbours are shown as they are.
    const std::string kept[] = {"\xe2\x80\x8a", "\xe2\x80\x90", "\xe2\x80\xa9", "\xe2\x80\xaf",
                                "\xe2\x81\xa5", "\xe2\x81\xaa", "\xef\xbb\xbe", "\xef\xbc\x81"};
    for (const std::string& text : kept)
        EXPECT_EQ(text, VisibleText(text));
    // Cut between two pieces, the override is still found.
    control::BVisibleText stream;
    std::string shown = stream.Add("txt\xe2\x80", 5);
    shown += stream.Add("\xae"
                        "exe",
                        4);
    EXPECT_EQ("txt\\xe2\\x80\\xaeexe", shown + stream.End());
}

// A log record is one line: a line break in it would start a forged record.
TEST(VisibleTextTest, ALogRecordKeepsToOneLine)
{
    EXPECT_EQ("a\\x0adaemon stopped\tx\\x1b\\xe2\\x80\\xae\xc3\xa9",
              control::VisibleLine("a\ndaemon stopped\tx\x1b\xe2\x80\xae\xc3\xa9"));
    EXPECT_EQ("a\nb", VisibleText("a\nb"));
}

TEST(VisibleTextTest, PiecesCutAnywhereShowAsTheWhole)
{
    const std::string text =
        "a\xe6\xbc\xa2\x1b[1m\xf0\x9f\x98\x80\xc2\x9b\xe2\x82z\xc3\xa9\xe2\x81\xa7";
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
