// A subscriber's place with a message dispatcher, held for a scope: the
// subscriber hears every message published in between and none after.
#ifndef HOST_KAF_BSUBSCRIPTION_H
#define HOST_KAF_BSUBSCRIPTION_H

#include "hostapi/BMessage.h"

namespace KAF {

class BSubscription {
public:
    BSubscription(BMessageDispatcher& dispatcher, IMessageSubscriber& subscriber)
        : m_dispatcher(dispatcher), m_subscriber(subscriber)
    {
        m_dispatcher.Subscribe(&m_subscriber);
    }
    ~BSubscription() { m_dispatcher.Unsubscribe(&m_subscriber); }
    BSubscription(const BSubscription&) = delete;
    BSubscription& operator=(const BSubscription&) = delete;

private:
    BMessageDispatcher& m_dispatcher;
    IMessageSubscriber& m_subscriber;
};

} // namespace KAF

#endif
