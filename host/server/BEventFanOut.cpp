#include "host/server/BEventFanOut.h"

#include "eventlog/MuroxLogEvent.h"
#include "host/protocol/ControlProtocol.h"

void BEventFanOut::LogOnly(const std::string& text)
{
    m_logOnly = true;
    MuroxLogEvent("%s", text.c_str());
    m_logOnly = false;
}

void BEventFanOut::Inform(const KAF::BMessage& msg)
{
    if (m_logOnly)
        return;
    const std::size_t length =
        msg.m_text.length() < control::kMaxFrame ? msg.m_text.length() : control::kMaxFrame;
    for (const auto& pClient : m_clients)
        if (!pClient->OwnEventsOnly() || pClient.get() == m_pRunning)
            pClient->Queue(control::kEvent, msg.m_text.c_str(), length);
}
