#include "host/server/BControlServer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/outputs/ILogOutput.h"
#include "host/outputs/OutputWait.h"
#include "host/protocol/ControlProtocol.h"
#include "host/registry/LogPriority.h"
#include "host/server/BControlSocket.h"
#include "host/server/ConsoleBudget.h"
#include "host/server/DaemonSignals.h"
#include "host/service/BServiceNotifier.h"

namespace {

// Connections taken from the backlog in one turn.
const int kAcceptsPerTurn = 64;
// How long accepting rests after the process ran out of descriptors.
const long long kAcceptPauseMs = 100;

// A last word to a connection about to be closed, sent without waiting:
// a fresh connection's buffer has room for it.
void SendFarewell(int fd, const std::string& text)
{
    std::string frame;
    control::AppendFrame(frame, control::kFarewell, text);
    (void)!send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

long long Earliest(long long a, long long b)
{
    return a < 0 ? b : b < 0 ? a : a < b ? a : b;
}

} // namespace

BControlServer::BControlServer(BControlSocket& socket, int signalFd, ILogOutput* pLog,
                               const TClientLimits& limits)
    : m_socket(socket), m_signalFd(signalFd), m_pLog(pLog), m_limits(limits),
      m_daemonUid(geteuid()), m_refusals([this](TLogPriority priority, const std::string& text) {
          m_fanOut.LogOnly(text, priority);
      }),
      m_startedMs(MonotonicMs())
{
}

void BControlServer::FillStatus(TDaemonStatus& status) const
{
    status.daemon = true;
    status.startedMs = m_startedMs;
    status.nowMs = MonotonicMs();
    status.socket = m_socket.Path();
    status.consoles = m_clients.size();
    status.refusals = m_refusals.Refusals();
    status.eventsDropped = m_pLog != nullptr ? m_pLog->DroppedRecords() : 0;
}

BControlServer::~BControlServer() = default;

std::size_t BControlServer::MaxUnsent() const
{
    std::size_t most = 0;
    for (const auto& pClient : m_clients)
        most = pClient->Unsent() > most ? pClient->Unsent() : most;
    return most;
}

std::size_t BControlServer::TotalUnsent() const
{
    std::size_t total = 0;
    for (const auto& pClient : m_clients)
        total += pClient->Unsent();
    return total;
}

std::size_t BControlServer::TotalHeld() const
{
    return HeldByAll(m_clients);
}

int BControlServer::Poll(long long nowMs, int maxWaitMs)
{
    std::vector<pollfd>& fds = m_polled;
    fds.clear();
    fds.push_back({m_signalFd, POLLIN, 0});
    const bool accepting = nowMs >= m_acceptPausedUntilMs;
    fds.push_back({accepting ? m_socket.Fd() : -1, POLLIN, 0});
    const bool writing = m_pLog != nullptr && m_pLog->Pending();
    fds.push_back({writing ? m_pLog->Fd() : -1, POLLOUT, 0});
    long long due = Earliest(accepting ? -1 : m_acceptPausedUntilMs, m_refusals.DueMs());
    if (m_pNotifier != nullptr)
        due = Earliest(due, m_pNotifier->WatchdogDueMs());
    bool ready = false;
    for (const auto& pClient : m_clients) {
        const BControlClient& client = *pClient;
        short events = client.Unsent() > 0 ? POLLOUT : 0;
        if (client.WantsInput(m_limits))
            events |= POLLIN;
        ready = ready || client.MayRun(m_limits) || client.Finished(nowMs);
        due = Earliest(due, client.DueMs(m_limits));
        fds.push_back({client.Fd(), events, 0});
    }
    long long wait = ready ? 0 : due < 0 ? -1 : due > nowMs ? due - nowMs : 0;
    if (maxWaitMs >= 0 && (wait < 0 || wait > maxWaitMs))
        wait = maxWaitMs;
    return poll(fds.data(), fds.size(), static_cast<int>(wait < 60000 ? wait : 60000));
}

int BControlServer::Serve(ICommandRunner& runner)
{
    for (;;) {
        const int signal = Turn(runner, -1);
        if (signal != 0)
            return signal;
    }
}

int BControlServer::Turn(ICommandRunner& runner, int maxWaitMs)
{
    if (Poll(MonotonicMs(), maxWaitMs) < 0 && errno != EINTR) {
        LogEventAt(TLogPriority::kErr, "control server: poll failed: %s", std::strerror(errno));
        m_socket.Release();
        return SIGTERM;
    }
    const bool signalled = (m_polled[0].revents & POLLIN) != 0;
    if (signalled) {
        const int signal = TakeDaemonSignals(m_signalFd, runner);
        if (signal != 0) {
            m_socket.Release();
            return signal;
        }
    }
    // The words at the first turn, and after a reload, which may change them.
    if (signalled || !m_requests.WordsShared())
        m_requests.ShareWords(runner);
    long long now = MonotonicMs();
    // Clients that left free their places before new ones are let in.
    ReadAndSend(m_polled.data() + 3, now);
    if (m_polled[1].revents & POLLIN)
        Accept(now);
    for (const auto& pClient : m_clients)
        m_requests.Answer(*pClient, runner);
    now = MonotonicMs();
    for (const auto& pClient : m_clients) {
        pClient->Flush(now);
        pClient->Enforce(m_limits, now);
    }
    KeepWithinBudget(m_clients, m_limits, now);
    if (m_pLog != nullptr)
        m_pLog->Drain();
    m_refusals.Flush(now);
    Reap(now);
    TellNotifier(runner, signalled, now);
    return 0;
}

void BControlServer::TellNotifier(ICommandRunner& runner, bool signalled, long long nowMs)
{
    if (m_pNotifier == nullptr || !m_pNotifier->Active())
        return;
    m_pNotifier->Turned(nowMs);
    // Counting walks the whole registry: not at every turn, only once a
    // line or a reload may have changed it.
    if (!m_counted || signalled || m_requests.LinesRun() != m_linesCounted) {
        m_extensions = runner.Extensions();
        m_linesCounted = m_requests.LinesRun();
        m_counted = true;
    }
    // A console dropped is counted until its farewell is taken. The
    // notifier sends the line only when it changed.
    m_pNotifier->Status(ServiceStatusLine(m_extensions, m_clients.size()));
}

void BControlServer::ReadAndSend(const pollfd* pPolled, long long nowMs)
{
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        BControlClient& client = *m_clients[i];
        const short revents = pPolled[i].revents;
        if ((revents & (POLLIN | POLLHUP | POLLERR)) && client.WantsInput(m_limits))
            client.Receive(nowMs);
        // A peer that hung up while paused is found by the send failing.
        if (revents & (POLLOUT | POLLHUP | POLLERR))
            client.Flush(nowMs);
    }
    Reap(nowMs);
}

void BControlServer::Accept(long long nowMs)
{
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        BFd fd(accept4(m_socket.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Valid()) {
            Admit(std::move(fd), nowMs);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            m_refusals.AcceptFailed(std::strerror(errno), nowMs);
            m_acceptPausedUntilMs = nowMs + kAcceptPauseMs;
        }
        return;
    }
}

void BControlServer::Admit(BFd fd, long long nowMs)
{
    TPeer peer;
    std::string refusal;
    // The console exits 4 for a refusal of its credentials, 1 for a lack
    // of room, which passes.
    std::string lead = control::kAccessRefused;
    const gid_t group = m_socket.Group();
    if (!ReadPeer(fd.Get(), peer)) {
        refusal = "the kernel gives no credentials for it";
    } else {
        refusal = PeerRefusal(peer, m_daemonUid, group, m_socket.GroupLabel(group));
        if (refusal.empty() && !HasRoom(peer, nowMs, refusal)) {
            refusal += "; try again later";
            lead = "murox: no room: ";
        }
    }
    if (!refusal.empty()) {
        SendFarewell(fd.Get(), lead + refusal + "\n");
        m_refusals.Refused(peer, refusal, nowMs);
        return;
    }
    Attach(std::move(fd), peer);
}

void BControlServer::Attach(BFd fd, const TPeer& peer)
{
    const long long now = MonotonicMs();
    std::unique_ptr<BControlClient> pClient(new BControlClient(std::move(fd), peer, now));
    pClient->Queue(control::kHello, std::string(control::kGreeting) + " " +
                                        std::to_string(getpid()) + " " + MUROX_VERSION);
    m_requests.ShareWordsWith(*pClient);
    // Logged before it is attached: a client is not told of itself.
    LogEventAt(TLogPriority::kInfo, "console connected: %s", PeerName(peer).c_str());
    pClient->Flush(now);
    m_clients.push_back(std::move(pClient));
}

std::string BControlServer::NoRoom(const TPeer& peer) const
{
    const bool administrator = Administrator(peer.uid);
    const std::size_t most = administrator ? kMaxClients : kMaxPerUser;
    std::size_t same = 0;
    std::size_t others = 0; // the places of users other than the administrators
    for (const auto& pClient : m_clients) {
        same += pClient->Peer().uid == peer.uid ? 1 : 0;
        others += Administrator(pClient->Peer().uid) ? 0 : 1;
    }
    if (same >= most)
        return "too many consoles of uid " + std::to_string(peer.uid) + " (" +
               std::to_string(most) + ")";
    if (!administrator && others >= kMaxClients)
        return "too many consoles (" + std::to_string(kMaxClients) + ")";
    return std::string();
}

bool BControlServer::HasRoom(const TPeer& peer, long long nowMs, std::string& why)
{
    why = NoRoom(peer);
    if (why.empty())
        return true;
    // Accepting takes several connections without polling again: clients
    // that left meanwhile are looked for before one is turned away.
    std::vector<pollfd> fds;
    for (const auto& pClient : m_clients)
        fds.push_back({pClient->Fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), 0) > 0)
        ReadAndSend(fds.data(), nowMs);
    why = NoRoom(peer);
    return why.empty();
}

void BControlServer::Reap(long long nowMs)
{
    // A client dropped is logged when it is, not when it finally goes: a
    // dismissed one may wait a while for its farewell to be taken.
    // A console dropped broke the protocol or lost what it was sent.
    std::vector<std::pair<TLogPriority, std::string>> records;
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        BControlClient& client = **it;
        if (client.Dropped() && !client.Reported()) {
            client.SetReported();
            records.emplace_back(TLogPriority::kWarning,
                                 "console dropped: " + PeerName(client.Peer()) + ": " +
                                     client.Why());
        }
        if (!client.Finished(nowMs)) {
            ++it;
            continue;
        }
        if (!client.Dropped())
            records.emplace_back(TLogPriority::kInfo,
                                 "console disconnected: " + PeerName(client.Peer()));
        it = m_clients.erase(it);
    }
    for (const auto& record : records)
        LogEventAt(record.first, "%s", record.second.c_str());
}

void BControlServer::CloseAll(const std::string& farewell, int waitMs)
{
    const long long deadline = MonotonicMs() + waitMs;
    for (const auto& pClient : m_clients)
        pClient->Queue(control::kFarewell, farewell);
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        for (const auto& pClient : m_clients) {
            pClient->Flush(MonotonicMs());
            if (pClient->State() != BControlClient::TState::kClosed && pClient->Unsent() > 0)
                fds.push_back({pClient->Fd(), POLLOUT, 0});
        }
        const long long left = deadline - MonotonicMs();
        if (fds.empty() || left <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left)) < 0)
            break;
    }
    m_clients.clear();
}
