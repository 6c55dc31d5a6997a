#include "hostapi/BMessage.h"

namespace KAF {

namespace {
const int32_t kInitialCapacity = 4;
}

BMessageDispatcher* BMessageDispatcher::s_pInstance = nullptr;

// The subscriber array is made up front so that Publish never allocates.
BMessageDispatcher::BMessageDispatcher()
    : m_ppSubscribers(new IMessageSubscriber*[kInitialCapacity]), m_count(0),
      m_capacity(kInitialCapacity), m_delivering(0), m_removedWhileDelivering(0)
{
}

BMessageDispatcher::~BMessageDispatcher()
{
    delete[] m_ppSubscribers;
}

int BMessageDispatcher::Subscribe(IMessageSubscriber* pSubscriber)
{
    if (pSubscriber == nullptr)
        return 0;
    for (int32_t i = 0; i < m_count; ++i)
        if (m_ppSubscribers[i] == pSubscriber)
            return 0;
    if (m_count == m_capacity) {
        IMessageSubscriber** ppNew =
            new IMessageSubscriber*[static_cast<std::size_t>(m_capacity) * 2];
        for (int32_t i = 0; i < m_count; ++i)
            ppNew[i] = m_ppSubscribers[i];
        delete[] m_ppSubscribers;
        m_ppSubscribers = ppNew;
        m_capacity *= 2;
    }
    m_ppSubscribers[m_count++] = pSubscriber;
    return 1;
}

int BMessageDispatcher::Unsubscribe(IMessageSubscriber* pSubscriber)
{
    for (int32_t i = 0; i < m_count; ++i) {
        if (m_ppSubscribers[i] != pSubscriber || pSubscriber == nullptr)
            continue;
        // While delivering, indices must stay put; the gap is closed when
        // the outermost Publish ends.
        m_ppSubscribers[i] = nullptr;
        if (m_delivering == 0)
            Compact();
        else
            m_removedWhileDelivering = 1;
        return 1;
    }
    return 0;
}

int BMessageDispatcher::Publish(const BMessage& msg)
{
    struct BDelivery {
        BMessageDispatcher& dispatcher;
        explicit BDelivery(BMessageDispatcher& d) : dispatcher(d) { ++dispatcher.m_delivering; }
        ~BDelivery()
        {
            if (--dispatcher.m_delivering == 0 && dispatcher.m_removedWhileDelivering != 0)
                dispatcher.Compact();
        }
    } delivery(*this);

    // Subscribers added during delivery wait for the next message.
    const int32_t count = m_count;
    int informed = 0;
    for (int32_t i = 0; i < count; ++i) {
        IMessageSubscriber* pSubscriber = m_ppSubscribers[i];
        if (pSubscriber == nullptr)
            continue;
        pSubscriber->Inform(msg);
        ++informed;
    }
    return informed;
}

int BMessageDispatcher::SubscriberCount() const
{
    int count = 0;
    for (int32_t i = 0; i < m_count; ++i)
        if (m_ppSubscribers[i] != nullptr)
            ++count;
    return count;
}

void BMessageDispatcher::Compact()
{
    int32_t kept = 0;
    for (int32_t i = 0; i < m_count; ++i)
        if (m_ppSubscribers[i] != nullptr)
            m_ppSubscribers[kept++] = m_ppSubscribers[i];
    m_count = kept;
    m_removedWhileDelivering = 0;
}

} // namespace KAF
