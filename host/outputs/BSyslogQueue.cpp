#include "host/outputs/BSyslogQueue.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/outputs/OutputWait.h"
#include "host/protocol/ControlProtocol.h"

namespace {

// Bytes sent in one turn of the loop, so that a fast log cannot keep the
// loop away from the clients.
const std::size_t kPerDrain = std::size_t{64} * 1024;
// LOG_DAEMON, the event sink's facility.
const int kFacility = 3 * 8;

} // namespace

BSyslogQueue::BSyslogQueue(std::string socketPath) : m_path(std::move(socketPath)) {}

std::string BSyslogQueue::Datagram(const std::string& text, std::time_t when, TLogPriority priority)
{
    // The C library's timestamp, in its own locale's month names whatever
    // the process's locale: "Dec  5 16:58:12".
    static const char kMonths[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&when, &local);
    char head[64];
    std::snprintf(head, sizeof head,
                  "<%d>%s %2d %02d:%02d:%02d murox[%d]: ", kFacility + static_cast<int>(priority),
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(getpid()));
    return head + text;
}

bool BSyslogQueue::Connect()
{
    if (m_fd.Valid())
        return true;
    sockaddr_un address;
    if (!control::SocketAddress(m_path, address))
        return false;
    BFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid() ||
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    m_fd = std::move(fd);
    return true;
}

void BSyslogQueue::Take(const char* pData, std::size_t size, TLogPriority priority)
{
    Push(Datagram(std::string(pData, size), std::time(nullptr), priority));
    // A log there is written at once, while the loop has the record in hand.
    Drain();
}

void BSyslogQueue::Push(std::string datagram)
{
    if (!Connect() || m_bytes + datagram.size() > kLimit) {
        Drop(1);
        return;
    }
    m_bytes += datagram.size();
    m_queue.push_back(std::move(datagram));
}

void BSyslogQueue::Drop(unsigned long records)
{
    m_dropped += records;
    m_droppedTotal += records;
}

bool BSyslogQueue::Pending() const
{
    return m_fd.Valid() && (!m_queue.empty() || m_dropped > 0);
}

bool BSyslogQueue::SendFirst()
{
    const std::string& datagram = m_queue.front();
    const ssize_t n =
        send(m_fd.Get(), datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
        return false;
    if (n < 0) {
        // The log daemon went away or restarted: connect again at the next
        // record; this one is lost, as with the C library.
        Drop(1);
        if (errno != EMSGSIZE)
            m_fd = BFd();
    }
    m_bytes -= datagram.size();
    m_queue.pop_front();
    return true;
}

void BSyslogQueue::Drain()
{
    std::size_t sent = 0;
    while (sent < kPerDrain && Pending()) {
        if (m_queue.empty()) {
            // Said only once the queue has room for it again.
            const std::string note = std::to_string(m_dropped) +
                                     " event records dropped: the system log is not being read\n";
            m_dropped = 0;
            Push(Datagram(note, std::time(nullptr), TLogPriority::kWarning));
            continue;
        }
        const std::size_t size = m_queue.front().size();
        if (!SendFirst())
            return;
        sent += size;
    }
    if (!m_fd.Valid()) {
        Drop(m_queue.size());
        m_queue.clear();
        m_bytes = 0;
    }
}
