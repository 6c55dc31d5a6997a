// The framework string operations the library relies on.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BString.h"

namespace {

using KAF::BString;
using KAF::BStringArray;

std::string Text(const BString& s)
{
    return std::string(s.c_str(), s.length());
}

TEST(BString, EmptyStringsHaveNoBufferAndTheSharedEmptyText)
{
    BString fromNothing;
    BString fromNull(static_cast<const char*>(nullptr));
    BString fromEmpty("");
    for (const BString* s : {&fromNothing, &fromNull, &fromEmpty}) {
        EXPECT_EQ(nullptr, s->m_pData);
        EXPECT_EQ(0u, s->m_length);
        EXPECT_EQ(0u, s->m_capacity);
        EXPECT_EQ(BString::_Nullstr(), s->c_str());
    }
    fromNothing.Assign("", 0);
    EXPECT_EQ(nullptr, fromNothing.m_pData) << "an empty text needs no buffer";
    EXPECT_STREQ("", BString::_Nullstr());
    EXPECT_EQ(0u, BString::Strlen(nullptr));
    EXPECT_EQ(3u, BString::Strlen("abc"));
}

TEST(BString, InitAssignAndReleaseKeepTextAndLength)
{
    BString s("hello");
    EXPECT_EQ("hello", Text(s));
    EXPECT_EQ('\0', s.m_pData[5]);

    s.Assign("a longer text", 13);
    EXPECT_EQ("a longer text", Text(s));
    char* const pBuffer = s.m_pData;
    s.Assign("short", 5);
    EXPECT_EQ("short", Text(s));
    EXPECT_EQ(pBuffer, s.m_pData) << "a shorter text reuses the buffer";

    s.Release();
    EXPECT_EQ(nullptr, s.m_pData);
    EXPECT_EQ(0u, s.m_length);
    EXPECT_EQ(0u, s.m_capacity);
    s.Assign("again", 5);
    EXPECT_EQ("again", Text(s));
}

TEST(BString, AssignFromItsOwnBuffer)
{
    BString s("abcdef");
    s.Assign(s.c_str() + 2, 3);
    EXPECT_EQ("cde", Text(s));
    BString t("xy");
    t.Assign(t.c_str(), 2);
    EXPECT_EQ("xy", Text(t));
}

TEST(BString, CopyAssignmentCopiesTextAndSkipsItself)
{
    BString a("first");
    BString b;
    b = a;
    EXPECT_EQ("first", Text(b));
    EXPECT_NE(a.m_pData, b.m_pData) << "copies never share storage";
    char* const pBuffer = a.m_pData;
    const BString& same = a;
    a = same;
    EXPECT_EQ(pBuffer, a.m_pData);
    EXPECT_EQ("first", Text(a));

    BString empty;
    b = empty;
    EXPECT_EQ("", Text(b));
    EXPECT_STREQ("", b.c_str());

    BString copy(a);
    EXPECT_EQ("first", Text(copy));
}

TEST(BString, CompareIsZeroExactlyWhenEqual)
{
    BString s("alpha");
    EXPECT_EQ(0, s.compare(0, 5, "alpha", 5));
    EXPECT_NE(0, s.compare(0, 5, "alph", 4));
    EXPECT_NE(0, s.compare(0, 5, "alphab", 6));
    EXPECT_NE(0, s.compare(0, 5, "alphz", 5));
    EXPECT_LT(s.compare(0, 5, "b", 1), 0);
    EXPECT_GT(s.compare(0, 5, "Z", 1), 0);
    EXPECT_EQ(0, s.compare(1, 3, "lph", 3));
    EXPECT_EQ(0, s.compare(2, 100, "pha", 3)) << "the length is clamped to the string";
    BString empty;
    EXPECT_EQ(0, empty.compare(0, 0, "", 0));
    EXPECT_NE(0, empty.compare(0, 0, "a", 1));
}

TEST(BStringArray, AppendsCopiesInOrderAcrossGrowth)
{
    BStringArray array;
    EXPECT_EQ(0, array.Count());
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        const std::string text = "item" + std::to_string(i);
        BString item(text.c_str());
        array.PushBack(item);
        item.Assign("changed", 7);
        expected.push_back(text);
    }
    ASSERT_EQ(20, array.Count());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(expected[static_cast<std::size_t>(i)], Text(array.At(i)));
    EXPECT_EQ(array.m_pItems, &array.At(0));
}

} // namespace
