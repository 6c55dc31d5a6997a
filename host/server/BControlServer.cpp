#include "host/server/BControlServer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlSocket.h"
#include "host/server/PeerAccess.h"

namespace {

// A console with this much unsent is not read from until it takes some:
// a console that sends lines and never reads its answers stalls itself.
const std::size_t kPauseAt = 64 * 1024;
// Frames one console may run before the others get their turn.
const std::size_t kBurst = 8;
// How long accepting rests after the process ran out of descriptors.
const long long kAcceptPauseMs = 100;

long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Collects a command's answer.
class TAnswerStream : public KAF::ICmdStream {
public:
    explicit TAnswerStream(std::string& answer) : m_answer(answer) {}
    void Write(const KAF::BString& text) override { m_answer.append(text.c_str(), text.length()); }

private:
    std::string& m_answer;
};

// A last word to a connection about to be closed, sent without waiting:
// a fresh connection's buffer has room for it.
void SendFarewell(int fd, const std::string& text)
{
    std::string frame;
    control::AppendFrame(frame, control::kFarewell, text);
    (void)!send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

struct BControlServer::TConsole {
    int fd = -1;
    TPeer peer;
    control::BFrameReader reader{"LW", false};
    std::string out;                 // frames queued for the console
    std::size_t sent = 0;            // bytes of `out` already sent
    bool eof = false;                // it will send nothing more
    bool closing = false;            // asked to leave: closed once `out` is sent
    const char* szDropped = nullptr; // why it is closed at once

    std::size_t Unsent() const { return out.size() - sent; }
    bool MayRun() const { return szDropped == nullptr && !closing && Unsent() < kPauseAt; }

    // Sends what the socket takes now.
    void Flush()
    {
        while (szDropped == nullptr && Unsent() > 0) {
            const ssize_t n = send(fd, out.data() + sent, Unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    szDropped = "disconnected";
                break;
            }
        }
        if (sent == out.size()) {
            out.clear();
            sent = 0;
        } else if (sent >= kPauseAt) {
            out.erase(0, sent);
            sent = 0;
        }
    }
};

BControlServer::BControlServer(BControlSocket& socket, int signalFd)
    : m_socket(socket), m_signalFd(signalFd)
{
    KAF::BMessageDispatcher::s_pInstance->Subscribe(this);
}

BControlServer::~BControlServer()
{
    if (KAF::BMessageDispatcher::s_pInstance != nullptr)
        KAF::BMessageDispatcher::s_pInstance->Unsubscribe(this);
    for (const auto& pConsole : m_consoles)
        close(pConsole->fd);
}

void BControlServer::Inform(const KAF::BMessage& msg)
{
    const std::size_t length =
        msg.m_text.length() < control::kMaxFrame ? msg.m_text.length() : control::kMaxFrame;
    std::string frame;
    control::AppendFrame(frame, control::kEvent, msg.m_text.c_str(), length);
    for (const auto& pConsole : m_consoles) {
        TConsole& console = *pConsole;
        if (console.szDropped != nullptr || console.closing)
            continue;
        if (console.Unsent() + frame.size() > kMaxUnsent)
            console.szDropped = "it stopped reading and its unread output passed 1 MiB";
        else
            console.out += frame;
    }
}

int BControlServer::Serve(ICommandRunner& runner, const std::string& reloadLine)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({m_signalFd, POLLIN, 0});
        const long long now = NowMs();
        const bool accepting = now >= m_acceptPausedUntilMs;
        fds.push_back({accepting ? m_socket.Fd() : -1, POLLIN, 0});
        bool ready = false;
        for (const auto& pConsole : m_consoles) {
            const TConsole& console = *pConsole;
            short events = console.Unsent() > 0 ? POLLOUT : 0;
            if (console.MayRun() && !console.eof &&
                console.reader.Buffered() < control::kHeaderSize + control::kMaxFrame)
                events |= POLLIN;
            ready = ready || (console.MayRun() && console.reader.Ready());
            fds.push_back({console.fd, events, 0});
        }
        const int timeout = ready       ? 0
                            : accepting ? -1
                                        : static_cast<int>(m_acceptPausedUntilMs - now);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            MuroxLogEvent("control server: poll failed: %s", std::strerror(errno));
            return SIGTERM;
        }
        if (fds[0].revents & POLLIN) {
            const int signal = HandleSignal(runner, reloadLine);
            if (signal != 0) {
                m_socket.Release();
                return signal;
            }
        }
        // Consoles that left free their places before new ones are let in.
        Service(fds.data() + 2);
        if (fds[1].revents & POLLIN)
            Accept();
        for (const auto& pConsole : m_consoles)
            if (RunFrames(*pConsole, runner, kBurst))
                pConsole->Flush();
        Reap();
    }
}

void BControlServer::Service(const pollfd* pPolled)
{
    for (std::size_t i = 0; i < m_consoles.size(); ++i) {
        TConsole& console = *m_consoles[i];
        const short revents = pPolled[i].revents;
        if (revents & (POLLIN | POLLHUP | POLLERR))
            Receive(console);
        // A peer that hung up while paused is found by the send failing.
        if (revents & (POLLOUT | POLLHUP | POLLERR))
            console.Flush();
    }
    Reap();
}

bool BControlServer::Receive(TConsole& console)
{
    if (!console.MayRun() || console.eof)
        return false;
    char buffer[16384];
    const ssize_t n = recv(console.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        console.reader.Append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0)
        console.eof = true;
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        console.szDropped = "disconnected";
    return false;
}

bool BControlServer::RunFrames(TConsole& console, ICommandRunner& runner, std::size_t maxFrames)
{
    bool ran = false;
    for (std::size_t i = 0; i < maxFrames && console.MayRun() && console.reader.Ready(); ++i) {
        control::TFrame frame;
        const control::BFrameReader::TResult result = console.reader.Next(frame);
        if (result == control::BFrameReader::kNone)
            break;
        if (result == control::BFrameReader::kMalformed) {
            console.szDropped = "it sent a malformed frame";
            break;
        }
        ran = true;
        if (frame.type == control::kWords)
            control::AppendFrame(console.out, control::kWords, runner.CompletionWords());
        else
            RunRequest(console, frame.payload, frame.oversized, runner);
    }
    return ran;
}

void BControlServer::RunRequest(TConsole& console, const std::string& line, bool oversized,
                                ICommandRunner& runner)
{
    std::string& answer = m_answer;
    answer.clear();
    bool keep = true;
    if (oversized) {
        answer =
            "murox: line refused: longer than " + std::to_string(control::kMaxLine) + " bytes\n";
    } else if (line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
        answer = "murox: line refused: it holds a line break or a zero byte\n";
    } else {
        // The events the line causes are queued as they happen, so its
        // console sees them before the answer, which is whole only now.
        TAnswerStream out(answer);
        keep = runner.RunLine(line, out);
    }
    control::AppendFrame(console.out, control::kAnswer, answer);
    console.closing = !keep;
}

void BControlServer::Accept()
{
    for (int i = 0; i < 64; ++i) {
        const int fd = accept4(m_socket.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            Admit(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            MuroxLogEvent("control server: cannot accept a console: %s", std::strerror(errno));
            m_acceptPausedUntilMs = NowMs() + kAcceptPauseMs;
        }
        return;
    }
}

void BControlServer::Admit(int fd)
{
    TPeer peer;
    std::string refusal;
    const gid_t group = m_socket.Group();
    if (!ReadPeer(fd, peer))
        refusal = "the kernel gives no credentials for it";
    else if (!PeerAllowed(peer, geteuid(), group))
        refusal = "uid " + std::to_string(peer.uid) +
                  " is not root, the daemon's user or a member of group " + GroupName(group);
    else if (!HasRoom())
        refusal = "too many consoles (" + std::to_string(kMaxConsoles) + "); try again later";
    if (!refusal.empty()) {
        SendFarewell(fd, "murox: access refused: " + refusal + "\n");
        close(fd);
        MuroxLogEvent("console refused: %s: %s", PeerName(peer).c_str(), refusal.c_str());
        return;
    }
    std::unique_ptr<TConsole> pConsole(new TConsole);
    pConsole->fd = fd;
    pConsole->peer = peer;
    control::AppendFrame(pConsole->out, control::kHello,
                         std::string(control::kGreeting) + " " + std::to_string(getpid()));
    // Logged before it is attached: a console is not told of itself.
    MuroxLogEvent("console connected: %s", PeerName(peer).c_str());
    pConsole->Flush();
    m_consoles.push_back(std::move(pConsole));
}

bool BControlServer::HasRoom()
{
    if (m_consoles.size() < kMaxConsoles)
        return true;
    // Accepting takes several connections without polling again: consoles
    // that left meanwhile are looked for before one is turned away.
    std::vector<pollfd> fds;
    for (const auto& pConsole : m_consoles)
        fds.push_back({pConsole->fd, 0, 0});
    if (poll(fds.data(), fds.size(), 0) > 0)
        Service(fds.data());
    return m_consoles.size() < kMaxConsoles;
}

void BControlServer::Reap()
{
    std::vector<std::string> gone;
    for (auto it = m_consoles.begin(); it != m_consoles.end();) {
        TConsole& console = **it;
        const bool finished =
            console.Unsent() == 0 && (console.closing || (console.eof && !console.reader.Ready()));
        if (console.szDropped == nullptr && !finished) {
            ++it;
            continue;
        }
        close(console.fd);
        const bool dropped =
            console.szDropped != nullptr && std::strcmp(console.szDropped, "disconnected") != 0;
        gone.push_back((dropped ? "console dropped: " : "console disconnected: ") +
                       PeerName(console.peer) +
                       (dropped ? std::string(": ") + console.szDropped : std::string()));
        it = m_consoles.erase(it);
    }
    for (const std::string& text : gone)
        MuroxLogEvent("%s", text.c_str());
}

int BControlServer::HandleSignal(ICommandRunner& runner, const std::string& reloadLine)
{
    signalfd_siginfo info{};
    while (read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int signal = static_cast<int>(info.ssi_signo);
        if (signal != SIGHUP) {
            const char* szName = sigabbrev_np(signal);
            MuroxLogEvent("stopping on SIG%s", szName != nullptr ? szName : "?");
            return signal;
        }
        MuroxLogEvent("SIGHUP: running \"%s\"", reloadLine.c_str());
        std::string answer;
        TAnswerStream out(answer);
        runner.RunLine(reloadLine, out);
        if (!answer.empty())
            MuroxLogEvent("%s", answer.c_str());
    }
    return 0;
}

void BControlServer::CloseAll(const std::string& farewell, int waitMs)
{
    const long long deadline = NowMs() + waitMs;
    for (const auto& pConsole : m_consoles)
        control::AppendFrame(pConsole->out, control::kFarewell, farewell);
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        for (const auto& pConsole : m_consoles) {
            pConsole->Flush();
            if (pConsole->szDropped == nullptr && pConsole->Unsent() > 0)
                fds.push_back({pConsole->fd, POLLOUT, 0});
        }
        const long long left = deadline - NowMs();
        if (fds.empty() || left <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left)) < 0)
            break;
    }
    for (const auto& pConsole : m_consoles)
        close(pConsole->fd);
    m_consoles.clear();
}
