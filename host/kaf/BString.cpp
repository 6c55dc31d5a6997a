#include "hostapi/BString.h"

#include <cstring>

namespace KAF {

namespace {
const char s_nullText[1] = {'\0'};
}

void BString::Init(const char* text, unsigned length)
{
    m_pData = nullptr;
    m_length = 0;
    m_capacity = 0;
    if (text != nullptr && length != 0)
        Assign(text, length);
}

void BString::Assign(const char* text, unsigned length)
{
    // An empty text needs no buffer: a string without one stays so.
    if (length == 0 && m_pData == nullptr)
        return;
    if (length <= m_capacity && m_pData != nullptr) {
        // The text may lie inside this very buffer.
        std::memmove(m_pData, text, length);
        m_pData[length] = '\0';
        m_length = length;
        return;
    }
    // Allocate before letting go of the old text: a throwing allocator then
    // leaves the string as it was, and a text inside the old buffer is
    // still readable while it is copied.
    char* pNew = new char[length + 1];
    std::memcpy(pNew, text, length);
    pNew[length] = '\0';
    delete[] m_pData;
    m_pData = pNew;
    m_length = length;
    m_capacity = length;
}

void BString::Release()
{
    delete[] m_pData;
    m_pData = nullptr;
    m_length = 0;
    m_capacity = 0;
}

int BString::compare(unsigned pos, unsigned len, const char* text, unsigned textLength) const
{
    if (pos > m_length)
        pos = m_length;
    if (len > m_length - pos)
        len = m_length - pos;
    const unsigned common = len < textLength ? len : textLength;
    const int byBytes = common == 0 ? 0 : std::memcmp(c_str() + pos, text, common);
    if (byBytes != 0)
        return byBytes;
    if (len == textLength)
        return 0;
    return len < textLength ? -1 : 1;
}

unsigned BString::Strlen(const char* text)
{
    return text == nullptr ? 0 : static_cast<unsigned>(std::strlen(text));
}

const char* BString::_Nullstr()
{
    return s_nullText;
}

} // namespace KAF
