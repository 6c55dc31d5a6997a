// A peer's text on a terminal: controls and bytes that are no UTF-8 as \xHH, whole or cut anywhere.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

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

// Valid UTF-8 beyond ASCII is Unicode's data's test, below.
TEST(VisibleTextTest, TextIsKept)
{
    for (const std::string text : {"", "plain text\n\tindented \\x1b as typed ~"})
        EXPECT_EQ(text, VisibleText(text));
}

// Controls and bytes that are no UTF-8 are escaped whole, and only they.
TEST(VisibleTextTest, WhatActsHidesOrIsNoUtf8IsEscaped)
{
    const std::string escaped[] = {std::string("\x1b\x07\r\b\x7f\0\x1f", 7),
                                   "\x9b\x85",                 // C1 controls as stray bytes
                                   "\xc0\xaf\xe0\x80\xaf",     // overlong forms
                                   "\xed\xa0\x80",             // a surrogate
                                   "\xf4\x90\x80\x80\xf5\xff", // beyond U+10FFFF, bytes never used
                                   "\xe2\x82"};                // cut short
    for (const std::string& text : escaped)
        EXPECT_EQ("a" + Escaped(text) + "b", VisibleText("a" + text + "b")) << Escaped(text);
}

// Which code points Unicode's data, read here, says are not shown as themselves: of general
// category Cc, Cf, Zl or Zp, or Default_Ignorable_Code_Point (the Hangul fillers among them).
std::vector<bool> HiddenByUnicode()
{
    std::vector<bool> hidden(0x110000);
    const auto mark = [&](unsigned long first, unsigned long last) {
        for (unsigned long code = first; code <= last; ++code)
            hidden.at(code) = true;
    };
    std::ifstream data(MUROX_UNICODE_DIR "/UnicodeData.txt");
    unsigned long first = 0;
    for (std::string line; std::getline(data, line);) {
        char name[128] = {}, category[3] = {};
        unsigned long code = 0;
        std::sscanf(line.c_str(), "%lx;%127[^;];%2s", &code, name, category);
        first = std::strstr(name, ", Last>") != nullptr ? first : code;
        if (std::string(" Cc Cf Zl Zp ").find(std::string(" ") + category + " ") !=
            std::string::npos)
            mark(first, code);
    }
    std::ifstream derived(MUROX_UNICODE_DIR "/DerivedCoreProperties.txt");
    for (std::string line; std::getline(derived, line);) {
        unsigned long low = 0, high = 0;
        const int ends = std::sscanf(line.c_str(), "%lx..%lx", &low, &high);
        if (line.find("; Default_Ignorable_Code_Point ") != std::string::npos)
            mark(low, ends == 2 ? high : low);
    }
    return hidden;
}

std::string Utf8(unsigned long code)
{
    const std::size_t length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    std::string bytes(length, '\x80');
    for (std::size_t i = length - 1; i > 0; --i, code >>= 6)
        bytes[i] = static_cast<char>(0x80 | (code & 0x3f));
    // The lead byte: 110xxxxx, 1110xxxx or 11110xxx.
    bytes[0] = static_cast<char>((0xff00 >> length) | code);
    return bytes;
}

// The table built into VisibleText against the data files themselves: what they say is not shown as
// itself is escaped (U+202E turns "exe.txt" around, U+2028 breaks a line, U+E0041 hides), the rest
// kept.
TEST(VisibleTextTest, WhatUnicodeSaysIsNotShownAsItselfIsEscaped)
{
    const std::vector<bool> hidden = HiddenByUnicode();
    std::ostringstream wrong;
    for (unsigned long code = 0x80; code < hidden.size(); ++code) {
        const std::string bytes = Utf8(code);
        if ((code < 0xd800 || code > 0xdfff) &&
            VisibleText(bytes) != (hidden[code] ? Escaped(bytes) : bytes))
            wrong << std::hex << " U+" << code;
    }
    EXPECT_EQ("", wrong.str().substr(0, 200));
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
