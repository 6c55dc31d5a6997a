// The daemon's standard output, where the event sink writes its records,
// without ever blocking the loop. Under a service manager standard output
// is a pipe to the journal, which can stall: a blocking write there would
// stop every client and the signals with it.
#ifndef HOST_SERVER_BSTDOUTQUEUE_H
#define HOST_SERVER_BSTDOUTQUEUE_H

#include <cstddef>
#include <cstdio>
#include <string>

#include <sys/types.h>

// While installed, the C library's `stdout` writes into a queue of at most
// kLimit bytes, one record per write; the loop drains the queue to
// descriptor 1 when it is writable. A record that does not fit is dropped
// and counted; once the queue has drained, one line says how many were
// lost. If descriptor 1 fails for good (its reader is gone), what is queued
// is discarded and later records are dropped. One per process.
class BStdoutQueue {
public:
    static const std::size_t kLimit = std::size_t{1024} * 1024;

    BStdoutQueue() = default;
    // Puts the original stdout back, after Finish(0).
    ~BStdoutQueue();
    BStdoutQueue(const BStdoutQueue&) = delete;
    BStdoutQueue& operator=(const BStdoutQueue&) = delete;

    // Points stdout at the queue. False, with stdout left as it was, when
    // the C library cannot make the stream.
    bool Install();

    int Fd() const { return 1; }
    // Whether anything waits for descriptor 1: records, or the count of
    // those dropped.
    bool Pending() const { return !m_broken && (m_start < m_queue.size() || m_dropped > 0); }
    // Writes what descriptor 1 takes now, without blocking.
    void Drain();
    // Drains for at most `waitMs`; what is left then is lost.
    void Finish(int waitMs);

private:
    static ssize_t WriteRecord(void* pCookie, const char* pData, std::size_t size);
    void Queue(const char* pData, std::size_t size);

    std::string m_queue;
    std::size_t m_start = 0; // where the unwritten bytes begin
    unsigned long m_dropped = 0;
    bool m_broken = false;
    FILE* m_pOriginal = nullptr;
    FILE* m_pStream = nullptr;
};

#endif
