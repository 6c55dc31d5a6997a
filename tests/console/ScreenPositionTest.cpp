// Where the prompt and the typed line leave the cursor: what is erased to print above them.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "host/console/ScreenPosition.h"

namespace {

void ExpectAt(const std::string& text, int columns, int row, int column)
{
    const TScreenPos pos = ScreenPosition(text, columns);
    EXPECT_EQ(row, pos.row) << '"' << text << "\" on " << columns;
    EXPECT_EQ(column, pos.column) << '"' << text << "\" on " << columns;
}

// Text wraps when a row fills; controls and tabs take what libedit draws for them.
TEST(ScreenPositionTest, TextControlsAndTabsWrapWhenARowFills)
{
    ExpectAt("murox> ", 80, 0, 7);
    ExpectAt("1234567890", 10, 1, 0);
    ExpectAt(std::string(25, 'x'), 10, 2, 5);
    ExpectAt("ab", 0, 2, 0);
    ExpectAt("a\x7f", 80, 0, 3);
    ExpectAt("123456789\x01", 10, 1, 1);
    ExpectAt("12345678\t", 80, 0, 16);
    // A tab's blanks run to the end of the row and stop at its start.
    ExpectAt("1234567890\tx", 12, 1, 1);
    // The C locale decodes no byte above 0x7f: each takes a column.
    ExpectAt("\xc3\xa9", 80, 0, 2);
}

// As on a UTF-8 terminal: a wide character that does not fit at a row's end starts the next.
TEST(ScreenPositionTest, WideCharactersMoveWholeToTheNextRow)
{
#ifdef MUROX_TEST_LOCPATH
    setenv("LOCPATH", MUROX_TEST_LOCPATH, 1); // a cross build's own locale
#endif
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(nullptr, std::setlocale(LC_CTYPE, "C.UTF-8"));
    const std::string wide = "\xe6\xbc\xa2"; // two columns
    ExpectAt("\xc3\xa9", 80, 0, 1);
    ExpectAt("12345678" + wide, 10, 1, 0);
    ExpectAt("123456789" + wide, 10, 1, 2);
    ExpectAt(wide + wide + wide, 5, 1, 2);
    std::setlocale(LC_CTYPE, before.c_str());
}

} // namespace
