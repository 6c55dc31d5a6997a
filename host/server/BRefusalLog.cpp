#include "host/server/BRefusalLog.h"

#include <utility>

namespace {

const long long kWindowMs = 1000;

} // namespace

BRefusalLog::BRefusalLog(std::function<void(TLogPriority, const std::string&)> write)
    : m_write(std::move(write))
{
}

bool BRefusalLog::Writes(long long nowMs)
{
    Flush(nowMs);
    if (m_windowStartMs < 0) {
        m_windowStartMs = nowMs;
        m_written = 0;
    }
    if (m_written >= kPerSecond)
        return false;
    ++m_written;
    return true;
}

void BRefusalLog::Refused(const TPeer& peer, const std::string& why, long long nowMs)
{
    ++m_refusals;
    if (Writes(nowMs))
        m_write(TLogPriority::kWarning, "console refused: " + PeerName(peer) + ": " + why);
    else if (m_counted.count(peer.uid) != 0 || m_counted.size() < kMaxUids)
        ++m_counted[peer.uid];
    else
        ++m_countedOthers;
}

void BRefusalLog::AcceptFailed(const std::string& reason, long long nowMs)
{
    if (Writes(nowMs))
        m_write(TLogPriority::kErr, "control server: cannot accept a console: " + reason);
    else
        ++m_countedAcceptFailures;
}

void BRefusalLog::Flush(long long nowMs)
{
    if (m_windowStartMs < 0 || nowMs - m_windowStartMs < kWindowMs)
        return;
    for (const auto& counted : m_counted)
        m_write(TLogPriority::kWarning, "console refused: and " + std::to_string(counted.second) +
                                            " more from uid " + std::to_string(counted.first));
    if (m_countedOthers > 0)
        m_write(TLogPriority::kWarning, "console refused: and " + std::to_string(m_countedOthers) +
                                            " more from other uids");
    if (m_countedAcceptFailures > 0)
        m_write(TLogPriority::kErr, "control server: and " +
                                        std::to_string(m_countedAcceptFailures) +
                                        " more accept failures");
    m_counted.clear();
    m_countedOthers = 0;
    m_countedAcceptFailures = 0;
    m_windowStartMs = -1;
}

long long BRefusalLog::DueMs() const
{
    const bool counted = !m_counted.empty() || m_countedOthers > 0 || m_countedAcceptFailures > 0;
    return counted ? m_windowStartMs + kWindowMs : -1;
}
