// Records of connections turned away, for the daemon's log only. A stranger
// can connect as fast as the kernel lets it: each record would cost the log
// a line and every client an event. So they never reach clients, and
// past a few a second they are counted and summed up once a second.
#ifndef HOST_SERVER_BREFUSALLOG_H
#define HOST_SERVER_BREFUSALLOG_H

#include <functional>
#include <map>
#include <string>

#include "host/registry/LogPriority.h"
#include "host/server/PeerAccess.h"

class BRefusalLog {
public:
    // Records written in full in one second; the rest are counted.
    static const int kPerSecond = 5;

    // `write` puts one record in the log at its priority: a refusal at
    // warning, a failure to accept at err.
    explicit BRefusalLog(std::function<void(TLogPriority, const std::string&)> write);

    // "console refused: uid U, pid P: WHY", or counted.
    void Refused(const TPeer& peer, const std::string& why, long long nowMs);
    // "control server: cannot accept a console: REASON", or counted.
    void AcceptFailed(const std::string& reason, long long nowMs);

    // Once the second has passed, writes what was counted in it: "console
    // refused: and N more from uid U", "control server: and N more accept
    // failures".
    void Flush(long long nowMs);
    // When Flush has something to write; -1 when nothing is counted.
    long long DueMs() const;
    // Connections refused since the start, recorded or counted.
    unsigned long Refusals() const { return m_refusals; }

private:
    bool Writes(long long nowMs);

    // Strangers counted one by one; past that many uids, together.
    static const std::size_t kMaxUids = 64;

    std::function<void(TLogPriority, const std::string&)> m_write;
    long long m_windowStartMs = -1;
    int m_written = 0;
    std::map<uid_t, unsigned long> m_counted;
    unsigned long m_countedOthers = 0;
    unsigned long m_countedAcceptFailures = 0;
    unsigned long m_refusals = 0;
};

#endif
