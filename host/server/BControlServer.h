// The daemon's control server: one thread, one poll loop over the listening
// socket, a signalfd, the daemon's log output and every client.
#ifndef HOST_SERVER_BCONTROLSERVER_H
#define HOST_SERVER_BCONTROLSERVER_H

#include <string>
#include <vector>

#include <poll.h>
#include <sys/types.h>

#include "host/server/BClientRequests.h"
#include "host/server/BControlClient.h"
#include "host/server/BEventFanOut.h"
#include "host/server/BRefusalLog.h"
#include "host/server/DaemonStatus.h"
#include "host/server/ICommandRunner.h"

class BControlSocket;
class BServiceNotifier;
class ILogOutput;

// Serves clients, the consoles' connections, on a claimed control socket.
// Lines run one at a time, each to the end, in the order the loop takes
// them; nothing a client sends or fails to read can block the loop or
// reach another client. The daemon's events reach the clients through
// FanOut(), once whoever wires the server subscribes that to the process's
// dispatcher. Connections turned away are recorded in the log only.
class BControlServer {
public:
    // Most clients served at once for the users other than root and the
    // daemon's user together, and at once for each of those two, whose
    // places nobody else can take: the administrator can always get in.
    static const std::size_t kMaxClients = 256;
    // Most clients served at once for any one other user (by uid), so that
    // no one of them can take every place.
    static const std::size_t kMaxPerUser = 16;

    // Peers are let in by the rules of PeerAllowed, with the socket's
    // group read again at each connection. `pLog`, where the event records
    // wait, is drained by the loop when given.
    BControlServer(BControlSocket& socket, int signalFd, ILogOutput* pLog,
                   const TClientLimits& limits);
    ~BControlServer();
    BControlServer(const BControlServer&) = delete;
    BControlServer& operator=(const BControlServer&) = delete;

    // Serves until SIGTERM or SIGINT arrives on `signalFd` (blocked signals
    // read from a signalfd, so no handler touches the registry); SIGHUP
    // reloads the configuration as a console's reload would. Returns the
    // stopping signal's number. Stops accepting before it returns.
    int Serve(ICommandRunner& runner);
    // One turn of that loop, waiting at most `maxWaitMs` (-1: until
    // something happens) for something to do. Returns the stopping signal's
    // number, or 0 to go on.
    int Turn(ICommandRunner& runner, int maxWaitMs);

    // Has the loop tell `pNotifier` (or nobody, when null) at each turn
    // that it turns, and the status whenever its counts changed (the
    // registry's counted again at the first turn and after lines and
    // reloads, the only things that change it); the loop's wait ends in
    // time for the watchdog.
    void Notify(BServiceNotifier* pNotifier) { m_pNotifier = pNotifier; }

    // Serves a connection made elsewhere, as if accepted from the socket
    // and let in, with `peer` as its credentials.
    void Attach(BFd fd, const TPeer& peer);

    // Sends every client `farewell` after what is queued for it, waits at
    // most `waitMs` for them to take it, and closes them all.
    void CloseAll(const std::string& farewell, int waitMs);

    // The server's facts: its socket, since when it serves, its clients,
    // the connections it refused and the records its log lost.
    void FillStatus(TDaemonStatus& status) const;

    // What passes the daemon's events on to the clients.
    KAF::IMessageSubscriber& FanOut() { return m_fanOut; }

    // The most bytes waiting to be sent to any one client, and to all of
    // them together; for tests.
    std::size_t MaxUnsent() const;
    std::size_t TotalUnsent() const;
    std::size_t TotalHeld() const;

private:
    int Poll(long long nowMs, int maxWaitMs);
    void Accept(long long nowMs);
    void Admit(BFd fd, long long nowMs);
    // Why `peer` may not take a place now; empty when it may.
    std::string NoRoom(const TPeer& peer) const;
    // Whether it may, once clients that left are let go; says why not.
    bool HasRoom(const TPeer& peer, long long nowMs, std::string& why);
    bool Administrator(uid_t uid) const { return uid == 0 || uid == m_daemonUid; }
    // Reads and sends for each client as `pPolled` (one entry a client, in
    // order) says, then closes those that are done.
    void ReadAndSend(const struct pollfd* pPolled, long long nowMs);
    void Reap(long long nowMs);
    void TellNotifier(ICommandRunner& runner, bool signalled, long long nowMs);

    BControlSocket& m_socket;
    int m_signalFd;
    ILogOutput* m_pLog;
    TClientLimits m_limits;
    uid_t m_daemonUid;
    TClients m_clients;
    BEventFanOut m_fanOut{m_clients, m_limits};
    BClientRequests m_requests{m_clients, m_limits, m_fanOut};
    BRefusalLog m_refusals;
    long long m_acceptPausedUntilMs = 0;
    long long m_startedMs;
    std::vector<struct pollfd> m_polled; // the last turn's descriptors, in order
    BServiceNotifier* m_pNotifier = nullptr;
    TExtensionCounts m_extensions;    // as last counted for the notifier
    unsigned long m_linesCounted = 0; // lines run when they were
    bool m_counted = false;
};

#endif
