// A peer's text on a terminal: controls and bytes that are no UTF-8 as \xHH, whole or cut anywhere.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/protocol/VisibleText.h"

namespace {

using control::VisibleText;

// How a sequence escaped whole shows: "\xHH" for each byte.
std::string Escaped(const std::string& bytes)
{
    std::string shown;
    char hex[5];
    for (const unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        shown += hex;
    }
    return shown;
}

TEST(VisibleTextTest, TextAndValidUtf8AreKept)
{
    const std::string kept[] = {"", "plain text\n\tindented \\x1b as typed ~",
                                "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80",
                                "\xc2\xa0\xc2\xbf",         // U+00A0, right after the C1 range
                                "\xe0\xa0\x80\xed\x9f\xbf", // U+0800, U+D7FF
                                "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", // U+10000, U+10FFFF
                                // The neighbours of the characters that hide or reorder text.
                                "\xe2\x80\x8a", "\xe2\x80\x90", "\xe2\x80\xa9", "\xe2\x80\xaf",
                                "\xe2\x81\xa5", "\xe2\x81\xaa", "\xef\xbb\xbe", "\xef\xbc\x81"};
    for (const std::string& text : kept)
        EXPECT_EQ(text, VisibleText(text));
}

// Controls, bytes that are no UTF-8, and characters that hide or reorder what follows ("U+202E"
// turns "exe.txt" around) are escaped whole, and only they.
TEST(VisibleTextTest, WhatActsHidesOrIsNoUtf8IsEscaped)
{
    const std::string escaped[] = {std::string("\x1b\x07\r\b\x7f\0\x1f", 7),
                                   "\xc2\x9b\xc2\x80\xc2\x9f", // C1 controls, encoded
                                   "\x9b\x85",                 // or as stray bytes
                                   "\xc0\xaf\xe0\x80\xaf",     // overlong forms
                                   "\xed\xa0\x80",             // a surrogate
                                   "\xf4\x90\x80\x80\xf5\xff", // beyond U+10FFFF, bytes never used
                                   "\xe2\x82",                 // cut short
                                   // U+200B, U+200F, U+202A, U+202E, U+2066, U+2069, U+FEFF
                                   "\xe2\x80\x8b", "\xe2\x80\x8f", "\xe2\x80\xaa", "\xe2\x80\xae",
                                   "\xe2\x81\xa6", "\xe2\x81\xa9", "\xef\xbb\xbf"};
    for (const std::string& text : escaped)
        EXPECT_EQ("a" + Escaped(text) + "b", VisibleText("a" + text + "b")) << Escaped(text);
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
