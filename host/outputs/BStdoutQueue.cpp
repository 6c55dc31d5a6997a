#include "host/outputs/BStdoutQueue.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "host/outputs/OutputWait.h"

namespace {

// A pipe that polls writable takes this much without blocking.
const std::size_t kChunk = 4096;
// Bytes written in one turn of the loop, so that a fast reader cannot keep
// the loop away from the clients.
const std::size_t kPerDrain = std::size_t{64} * 1024;

} // namespace

std::string BStdoutQueue::Prefix(TLogPriority priority) const
{
    return m_prefixed ? "<" + std::to_string(static_cast<int>(priority)) + ">" : std::string();
}

void BStdoutQueue::Take(const char* pData, std::size_t size, TLogPriority priority)
{
    if (m_broken) {
        ++m_droppedTotal;
        return;
    }
    const std::string prefix = Prefix(priority);
    if (m_queue.size() - m_start + prefix.size() + size > kLimit) {
        ++m_dropped;
        ++m_droppedTotal;
        return;
    }
    if (m_start > 0 && m_start >= m_queue.size() - m_start) {
        m_queue.erase(0, m_start);
        m_start = 0;
    }
    const bool idle = !Pending();
    m_queue.append(prefix);
    m_queue.append(pData, size);
    // Nothing before it waits: what the output takes now goes at once, so
    // that its reader (the journal stamps each line as it reads it) sees
    // the record when it happens, even while an extension's init keeps
    // the loop from turning. The rest waits for the loop, as it would.
    if (idle)
        Drain();
}

void BStdoutQueue::Drain()
{
    std::size_t written = 0;
    while (written < kPerDrain && Pending() && WritableWithin(Fd(), 0)) {
        if (m_start == m_queue.size()) {
            // Said only once the queue has room for it again.
            const std::string note = Prefix(TLogPriority::kWarning) + std::to_string(m_dropped) +
                                     " event records dropped: standard output is not being read\n";
            m_dropped = 0;
            m_queue.assign(note);
            m_start = 0;
        }
        const std::size_t length = std::min(kChunk, m_queue.size() - m_start);
        const ssize_t n = write(Fd(), m_queue.data() + m_start, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            m_broken = true;
            break;
        }
        m_start += static_cast<std::size_t>(n);
        written += static_cast<std::size_t>(n);
    }
    if (m_broken || m_start == m_queue.size()) {
        m_queue.clear();
        m_start = 0;
    }
}
