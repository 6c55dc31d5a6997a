#include "hostapi/BString.h"

namespace KAF {

BStringArray::~BStringArray()
{
    delete[] m_pItems;
}

void BStringArray::PushBack(const BString& item)
{
    if (m_count == m_capacity) {
        const int32_t newCapacity = m_capacity == 0 ? 4 : m_capacity * 2;
        BString* pItems = new BString[newCapacity];
        // Copy into the new array before touching the old one, so that a
        // throwing allocator leaves the array as it was.
        struct BDropOnThrow {
            BString*& p;
            ~BDropOnThrow() { delete[] p; }
        } guard{pItems};
        for (int32_t i = 0; i < m_count; ++i)
            pItems[i] = m_pItems[i];
        pItems[m_count] = item;
        delete[] m_pItems;
        m_pItems = pItems;
        pItems = nullptr;
        m_capacity = newCapacity;
    } else {
        m_pItems[m_count] = item;
    }
    ++m_count;
}

} // namespace KAF
