// The daemon's standard output, where the event sink writes its records,
// without ever blocking the loop. Under a service manager standard output
// is a pipe to the journal, which can stall: a blocking write there would
// stop every client and the signals with it.
#ifndef HOST_OUTPUTS_BSTDOUTQUEUE_H
#define HOST_OUTPUTS_BSTDOUTQUEUE_H

#include <cstddef>
#include <string>

#include "host/outputs/ILogOutput.h"

// A record (BStdoutCapture hands them over) taken while nothing waits is
// written at once, as much of it as the descriptor (1 for the daemon)
// takes without blocking, as Drain writes; what it does not take, and
// every record taken while some wait, waits in a queue of at most kLimit
// bytes, which the loop drains when the descriptor is writable. The
// descriptor is never made non-blocking: standard output may be shared.
// With `prefixed`, each record starts with its priority as "<N>", as the
// journal reads a service's standard output (sd-daemon(3)); without, the
// records are the sink's lines alone. A record that does not fit is
// dropped and counted; once the queue has drained, one line at warning
// says how many were lost. If the descriptor fails for good (its reader is
// gone), what is queued is discarded and later records are dropped. One
// per descriptor.
class BStdoutQueue : public ILogOutput {
public:
    static const std::size_t kLimit = std::size_t{1024} * 1024;

    explicit BStdoutQueue(bool prefixed = false, int fd = 1) : m_fd(fd), m_prefixed(prefixed) {}
    BStdoutQueue(const BStdoutQueue&) = delete;
    BStdoutQueue& operator=(const BStdoutQueue&) = delete;

    void Take(const char* pData, std::size_t size, TLogPriority priority) override;
    int Fd() const override { return m_fd; }
    bool Pending() const override
    {
        return !m_broken && (m_start < m_queue.size() || m_dropped > 0);
    }
    void Drain() override;
    unsigned long DroppedRecords() const override { return m_droppedTotal; }

private:
    // The "<N>" that starts a record at `priority`, or nothing.
    std::string Prefix(TLogPriority priority) const;

    int m_fd;
    bool m_prefixed;
    std::string m_queue;
    std::size_t m_start = 0;     // where the unwritten bytes begin
    unsigned long m_dropped = 0; // since the last note of them
    unsigned long m_droppedTotal = 0;
    bool m_broken = false;
};

#endif
