// A subscriber that records or counts what it is told, and a scope that puts a dispatcher in place.
#ifndef TESTS_SUPPORT_EVENTTESTSUPPORT_H
#define TESTS_SUPPORT_EVENTTESTSUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "hostapi/BMessage.h"

namespace eventlog_test {

// Thrown by a subscriber asked to fail; allocates nothing.
struct TSubscriberFailure {};

// Counts messages and keeps the last id and length without allocating; records texts given a log.
class TRecorder : public KAF::IMessageSubscriber {
public:
    explicit TRecorder(std::vector<std::string>* pLog = nullptr) : m_pLog(pLog) {}
    void Inform(const KAF::BMessage& msg) override
    {
        ++m_informed;
        m_lastId = msg.m_msgId;
        m_lastLength = msg.m_text.m_length;
        if (m_pLog != nullptr)
            m_pLog->push_back(msg.m_text.c_str());
        if (m_fail)
            throw TSubscriberFailure();
    }

    std::vector<std::string>* m_pLog;
    int m_informed = 0;
    int32_t m_lastId = 0;
    uint32_t m_lastLength = 0;
    bool m_fail = false;
};

// Installs `pInstance` (null: none); on exit deletes any dispatcher made since, puts the old back.
struct TInstanceScope {
    explicit TInstanceScope(KAF::BMessageDispatcher* pInstance) : m_pInstalled(pInstance)
    {
        KAF::BMessageDispatcher::s_pInstance = pInstance;
    }
    ~TInstanceScope()
    {
        if (KAF::BMessageDispatcher::s_pInstance != m_pInstalled)
            delete KAF::BMessageDispatcher::s_pInstance;
        KAF::BMessageDispatcher::s_pInstance = m_pSaved;
    }
    KAF::BMessageDispatcher* const m_pSaved = KAF::BMessageDispatcher::s_pInstance;
    KAF::BMessageDispatcher* const m_pInstalled;
};

} // namespace eventlog_test

#endif
