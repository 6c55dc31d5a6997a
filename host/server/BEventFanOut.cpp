#include "host/server/BEventFanOut.h"

#include <ctime>

#include "host/protocol/ControlProtocol.h"
#include "host/server/ConsoleBudget.h"

void BEventFanOut::LogOnly(const std::string& text, TLogPriority priority)
{
    m_logOnly = true;
    LogEventAt(priority, "%s", text.c_str());
    m_logOnly = false;
}

void BEventFanOut::Inform(const KAF::BMessage& msg)
{
    if (m_logOnly)
        return;
    const std::size_t length =
        msg.m_text.length() < control::kMaxFrame ? msg.m_text.length() : control::kMaxFrame;
    const bool failure = m_pRunner != nullptr && m_pRunner->PublishingFailure();
    for (const auto& pClient : m_clients) {
        const bool running = pClient.get() == m_pRunning;
        if (!pClient->OwnEventsOnly() || running)
            pClient->Queue(running && failure ? control::kFailureEvent : control::kEvent,
                           msg.m_text.c_str(), length);
    }
    if (HeldByAll(m_clients) > m_limits.totalUnsent) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        KeepWithinBudget(m_clients, m_limits,
                         static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    }
}
