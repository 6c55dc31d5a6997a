// The framework string operations the library relies on.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BString.h"
#include "tests/support/Text.h"

namespace {

using KAF::BString;

TEST(BString, EmptyStringsHaveNoBufferAndTheSharedEmptyText)
{
    BString none;
    BString null(static_cast<const char*>(nullptr));
    BString empty("");
    none.Assign("", 0);
    for (const BString* s : {&none, &null, &empty}) {
        EXPECT_EQ(nullptr, s->m_pData);
        EXPECT_EQ(0u, s->m_length + s->m_capacity);
        EXPECT_EQ(BString::_Nullstr(), s->c_str());
    }
    EXPECT_STREQ("", BString::_Nullstr());
    EXPECT_EQ(0u, BString::Strlen(nullptr));
}

TEST(BString, AssignReleaseAndCopyKeepTextsApart)
{
    BString s("a longer text");
    char* const pBuffer = s.m_pData;
    s.Assign("short", 5);
    EXPECT_EQ(pBuffer, s.m_pData) << "a shorter text reuses the buffer";
    s.Assign(s.c_str() + 1, 3);
    EXPECT_EQ("hor", Text(s)) << "text from the string's own buffer";
    EXPECT_EQ('\0', s.m_pData[3]);

    BString copy;
    copy = s;
    EXPECT_EQ("hor", Text(copy));
    EXPECT_NE(s.m_pData, copy.m_pData) << "copies never share storage";
    const BString& same = s;
    s = same;
    EXPECT_EQ(pBuffer, s.m_pData) << "self-assignment changes nothing";
    copy = BString();
    EXPECT_STREQ("", copy.c_str());

    s.Release();
    EXPECT_EQ(nullptr, s.m_pData);
    EXPECT_EQ(0u, s.m_length + s.m_capacity);
    s.Assign("again", 5);
    EXPECT_EQ("again", Text(s));
}

} // namespace
