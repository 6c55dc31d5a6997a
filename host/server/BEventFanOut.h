// The daemon's events, passed on to the control server's clients.
#ifndef HOST_SERVER_BEVENTFANOUT_H
#define HOST_SERVER_BEVENTFANOUT_H

#include <string>

#include "host/registry/LogPriority.h"
#include "host/server/BControlClient.h"
#include "host/server/ICommandRunner.h"
#include "hostapi/BMessage.h"

// Subscribed to the process's dispatcher (by whoever wires it), queues
// every published event to every client let in, whole, between answers:
// the events a line causes reach its client before the line's answer. A
// client that chose its own events gets only those of the lines it runs.
// The events that say why a client's line fails reach that client as
// failure events ('F'), and every other client as events.
class BEventFanOut : public KAF::IMessageSubscriber {
public:
    // Clients are held to `limits.totalUnsent` as each event is queued:
    // a reload's events, sent to every console, cannot pile up past it
    // before the line ends.
    BEventFanOut(const TClients& clients, const TClientLimits& limits)
        : m_clients(clients), m_limits(limits)
    {
    }
    BEventFanOut(const BEventFanOut&) = delete;
    BEventFanOut& operator=(const BEventFanOut&) = delete;

    void Inform(const KAF::BMessage& msg) override;

    // Writes a record to the daemon's log at `priority` without showing it
    // to clients.
    void LogOnly(const std::string& text, TLogPriority priority);
    // The client whose line runs now, and what runs it; null between lines.
    void SetRunning(const BControlClient* pClient, const ICommandRunner* pRunner)
    {
        m_pRunning = pClient;
        m_pRunner = pRunner;
    }

private:
    const TClients& m_clients;
    const TClientLimits& m_limits;
    const BControlClient* m_pRunning = nullptr;
    const ICommandRunner* m_pRunner = nullptr;
    bool m_logOnly = false;
};

#endif
