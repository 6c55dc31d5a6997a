// The daemon's events, passed on to the control server's clients.
#ifndef HOST_SERVER_BEVENTFANOUT_H
#define HOST_SERVER_BEVENTFANOUT_H

#include <string>

#include "host/server/BControlClient.h"
#include "hostapi/BMessage.h"

// Subscribed to the process's dispatcher (by whoever wires it), queues
// every published event to every client let in, whole, between answers:
// the events a line causes reach its client before the line's answer. A
// client that chose its own events gets only those of the lines it runs.
class BEventFanOut : public KAF::IMessageSubscriber {
public:
    explicit BEventFanOut(const TClients& clients) : m_clients(clients) {}
    BEventFanOut(const BEventFanOut&) = delete;
    BEventFanOut& operator=(const BEventFanOut&) = delete;

    void Inform(const KAF::BMessage& msg) override;

    // Writes a record to the daemon's log without showing it to clients.
    void LogOnly(const std::string& text);
    // The client whose line runs now; null between lines.
    void SetRunning(const BControlClient* pClient) { m_pRunning = pClient; }

private:
    const TClients& m_clients;
    const BControlClient* m_pRunning = nullptr;
    bool m_logOnly = false;
};

#endif
