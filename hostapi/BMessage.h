// Messages, their subscribers and the framework's message dispatcher.
#ifndef HOSTAPI_BMESSAGE_H
#define HOSTAPI_BMESSAGE_H

#include <cstdint>

#include "hostapi/BString.h"
#include "hostapi/KafApi.h"

namespace KAF {

// The base of every message: an id fixed at construction and a text that
// starts empty. The destructor releases the text.
class KAF_API BMessage {
public:
    explicit BMessage(int32_t msgId) : m_msgId(msgId) {}
    virtual ~BMessage();

    int32_t m_msgId;
    BString m_text;
};

// What the dispatcher calls for every published message.
class KAF_API IMessageSubscriber {
public:
    virtual ~IMessageSubscriber();
    virtual void Inform(const BMessage& msg) = 0;
};

// Delivers each published message synchronously to every subscriber, in
// the order they subscribed.
class KAF_API BMessageDispatcher {
public:
    // The one dispatcher of the process; null until someone creates it.
    static BMessageDispatcher* s_pInstance;

    BMessageDispatcher();
    ~BMessageDispatcher();
    BMessageDispatcher(const BMessageDispatcher&) = delete;
    BMessageDispatcher& operator=(const BMessageDispatcher&) = delete;

    // Adds a subscriber at the end of the delivery order. Returns 0, and
    // changes nothing, for a null or an already subscribed one.
    int Subscribe(IMessageSubscriber* pSubscriber);
    // Removes a subscriber; safe during delivery, where a removed subscriber
    // gets no further messages. Returns 0 when it was not subscribed.
    int Unsubscribe(IMessageSubscriber* pSubscriber);
    // Calls Inform on each subscriber present when delivery starts and still
    // subscribed when its turn comes. Keeps no reference to `msg`, allocates
    // nothing, and lets a subscriber's exception through after restoring its
    // own state. Returns the number of subscribers informed.
    int Publish(const BMessage& msg);

    int SubscriberCount() const;

private:
    void Compact();

    IMessageSubscriber** m_ppSubscribers; // removed slots are null while delivering
    int32_t m_count;
    int32_t m_capacity;
    int32_t m_delivering;             // nesting depth of Publish
    int32_t m_removedWhileDelivering; // a null slot waits for Compact
};

} // namespace KAF

#endif
