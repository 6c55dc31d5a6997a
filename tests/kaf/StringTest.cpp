// What the library relies on of the framework's strings beyond what its own tests exercise.
#include <gtest/gtest.h>

#include <string>

#include "hostapi/BString.h"
#include "tests/support/Text.h"

namespace {

using KAF::BString;

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
