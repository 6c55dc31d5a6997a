#include "host/service/BServiceNotifier.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

// The socket address for $NOTIFY_SOCKET's value, or empty when it names
// none. Its length ends the name: an abstract one holds no end mark, and
// the kernel ends a path itself.
std::string NotifyAddress(const std::string& name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() >= sizeof address.sun_path ||
        (name[0] != '/' && name[0] != '@') || name.find('\0') != std::string::npos)
        return std::string();
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    return std::string(reinterpret_cast<const char*>(&address),
                       offsetof(sockaddr_un, sun_path) + name.size());
}

long long Number(const char* szText)
{
    if (szText == nullptr || *szText == '\0')
        return 0;
    char* pEnd = nullptr;
    const long long value = std::strtoll(szText, &pEnd, 10);
    return *pEnd == '\0' && value > 0 ? value : 0;
}

} // namespace

BServiceNotifier::BServiceNotifier(const std::string& socketName, long long watchdogUsec)
    : m_address(NotifyAddress(socketName))
{
    if (m_address.empty())
        return;
    m_fd.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // Half the interval, as the manager asks; at least a millisecond.
    if (m_fd.Valid() && watchdogUsec > 0)
        m_pingEveryMs = watchdogUsec / 2000 > 0 ? watchdogUsec / 2000 : 1;
}

BServiceNotifier BServiceNotifier::FromEnvironment()
{
    const char* szSocket = std::getenv("NOTIFY_SOCKET");
    const std::string name = szSocket != nullptr ? szSocket : "";
    long long watchdogUsec = Number(std::getenv("WATCHDOG_USEC"));
    const char* szPid = std::getenv("WATCHDOG_PID");
    if (szPid != nullptr && Number(szPid) != static_cast<long long>(getpid()))
        watchdogUsec = 0;
    for (const char* szName : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        unsetenv(szName);
    return BServiceNotifier(name, watchdogUsec);
}

void BServiceNotifier::Ready()
{
    Send("READY=1");
}

void BServiceNotifier::Reloading(long long monotonicUsec)
{
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonicUsec));
}

void BServiceNotifier::ReloadStarts()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    Reloading(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

void BServiceNotifier::ReloadEnded()
{
    Ready();
}

void BServiceNotifier::Stopping()
{
    Send("STOPPING=1");
}

void BServiceNotifier::Status(const std::string& text)
{
    if (!Active() || (m_statusSent && text == m_status))
        return;
    m_status = text;
    m_statusSent = true;
    Send("STATUS=" + text);
}

long long BServiceNotifier::WatchdogDueMs() const
{
    if (m_pingEveryMs < 0)
        return -1;
    return m_pinged ? m_lastPingMs + m_pingEveryMs : 0;
}

void BServiceNotifier::Turned(long long nowMs)
{
    if (m_pingEveryMs < 0 || (m_pinged && nowMs < m_lastPingMs + m_pingEveryMs))
        return;
    m_pinged = true;
    m_lastPingMs = nowMs;
    Send("WATCHDOG=1");
}

void BServiceNotifier::Send(const std::string& message)
{
    if (!Active())
        return;
    const ssize_t sent =
        sendto(m_fd.Get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(m_address.data()),
               static_cast<socklen_t>(m_address.size()));
    if (sent != static_cast<ssize_t>(message.size()))
        ++m_failures;
}
