// What the daemon tells the service manager that started it: ready,
// reloading, stopping, a line of status, and that its loop still turns.
// The manager's datagram protocol is written here rather than taken from
// its library, which the PowerPC build lacks.
#ifndef HOST_SERVICE_BSERVICENOTIFIER_H
#define HOST_SERVICE_BSERVICENOTIFIER_H

#include <string>

#include "host/protocol/BFd.h"
#include "host/service/IReloadWatcher.h"

// Each message is one datagram of KEY=VALUE lines, sent without waiting:
// a manager that does not read it costs a message, never the loop, and a
// send that fails is only counted. Without a socket to speak to, nothing
// is sent and nothing is due.
class BServiceNotifier : public IReloadWatcher {
public:
    // `socketName` as $NOTIFY_SOCKET gives it: a path, or '@' and a name in
    // the abstract namespace; empty or anything else: no manager.
    // `watchdogUsec` as $WATCHDOG_USEC: the interval within which the
    // manager wants a sign of life; 0: no watchdog.
    BServiceNotifier(const std::string& socketName, long long watchdogUsec);
    BServiceNotifier(const BServiceNotifier&) = delete;
    BServiceNotifier& operator=(const BServiceNotifier&) = delete;

    // Reads $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID (a watchdog
    // meant for another process is not this one's), then removes them from
    // the environment: only the daemon speaks for the service, not an
    // extension loaded in it nor a program one starts.
    static BServiceNotifier FromEnvironment();

    bool Active() const { return m_fd.Valid(); }

    // READY=1: the socket serves and the configuration is applied; also
    // the end of a reload.
    void Ready();
    // RELOADING=1 with MONOTONIC_USEC=, the time it starts.
    void Reloading(long long monotonicUsec);
    // STOPPING=1.
    void Stopping();
    // Reloading() at the monotonic clock's time, then Ready().
    void ReloadStarts() override;
    void ReloadEnded() override;
    // STATUS=`text`, unless it is what was sent last (or failed to be).
    void Status(const std::string& text);

    // When the loop must turn next to send WATCHDOG=1 in time: half the
    // interval after the last one (or now, before the first); -1 without
    // a watchdog.
    long long WatchdogDueMs() const;
    // Called by the loop at each turn: sends WATCHDOG=1 once it is due.
    void Turned(long long nowMs);

    // Messages the manager could not be sent.
    unsigned long Failures() const { return m_failures; }

private:
    void Send(const std::string& message);

    BFd m_fd;
    std::string m_address; // the sockaddr_un, as long as it is
    long long m_pingEveryMs = -1;
    long long m_lastPingMs = 0;
    bool m_pinged = false;
    std::string m_status;
    bool m_statusSent = false;
    unsigned long m_failures = 0;
};

#endif
