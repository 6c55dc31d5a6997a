// The daemon's standard output, where the event sink writes its records,
// without ever blocking the loop. Under a service manager standard output
// is a pipe to the journal, which can stall: a blocking write there would
// stop every client and the signals with it.
#ifndef HOST_SERVER_BSTDOUTQUEUE_H
#define HOST_SERVER_BSTDOUTQUEUE_H

#include <cstddef>
#include <string>

#include "host/server/ILogOutput.h"

// Records (BStdoutCapture hands them over) wait in a queue of at most
// kLimit bytes; the loop drains the queue to descriptor 1 when it is
// writable. A record that does not fit is dropped
// and counted; once the queue has drained, one line says how many were
// lost. If descriptor 1 fails for good (its reader is gone), what is queued
// is discarded and later records are dropped. One per process.
class BStdoutQueue : public ILogOutput {
public:
    static const std::size_t kLimit = std::size_t{1024} * 1024;

    BStdoutQueue() = default;
    BStdoutQueue(const BStdoutQueue&) = delete;
    BStdoutQueue& operator=(const BStdoutQueue&) = delete;

    void Take(const char* pData, std::size_t size) override;
    int Fd() const override { return 1; }
    bool Pending() const override
    {
        return !m_broken && (m_start < m_queue.size() || m_dropped > 0);
    }
    void Drain() override;
    unsigned long DroppedRecords() const override { return m_droppedTotal; }

private:
    std::string m_queue;
    std::size_t m_start = 0;     // where the unwritten bytes begin
    unsigned long m_dropped = 0; // since the last note of them
    unsigned long m_droppedTotal = 0;
    bool m_broken = false;
};

#endif
