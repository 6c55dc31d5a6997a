// The system log, where the daemon started with --syslog writes its event
// records, without ever blocking the loop. The C library's syslog() waits
// in sendto while /dev/log does not read (a stalled or overloaded log
// daemon): that would stop every client, the signals with it.
#ifndef HOST_OUTPUTS_BSYSLOGQUEUE_H
#define HOST_OUTPUTS_BSYSLOGQUEUE_H

#include <cstddef>
#include <ctime>
#include <deque>
#include <string>

#include "host/outputs/ILogOutput.h"
#include "host/protocol/BFd.h"

// Each record taken becomes one datagram in the form the C library's
// syslog() gives it (identity "murox", LOG_PID, facility LOG_DAEMON), at
// the record's own level rather than the sink's fixed LOG_ERR, so that the
// log tells a failure from a console connected:
//   "<PRI>Mmm dd hh:mm:ss murox[PID]: TEXT\n"
// with PRI 24 + the level (30 for info, 28 for warning), stamped when it
// is taken. Each is sent when it is taken, after those waiting, as far as
// the log's socket takes them without blocking (so also while an
// extension's init keeps the loop from turning); the rest wait in a
// queue of at most kLimit bytes, sent when the loop finds the socket
// writable. A record that does not fit, or finds no log to reach (the
// socket is connected again at the next record, as the C library does), is
// dropped and counted; once the log reads again and the queue has
// drained, one record at warning says how many were lost: "N event records
// dropped: the system log is not being read".
class BSyslogQueue : public ILogOutput {
public:
    static const std::size_t kLimit = std::size_t{1024} * 1024;

    explicit BSyslogQueue(std::string socketPath = "/dev/log");
    BSyslogQueue(const BSyslogQueue&) = delete;
    BSyslogQueue& operator=(const BSyslogQueue&) = delete;

    void Take(const char* pData, std::size_t size, TLogPriority priority) override;
    int Fd() const override { return m_fd.Get(); }
    bool Pending() const override;
    void Drain() override;
    unsigned long DroppedRecords() const override { return m_droppedTotal; }

    // The datagram for `text` (its newline included) at `priority`,
    // stamped `when`.
    static std::string Datagram(const std::string& text, std::time_t when, TLogPriority priority);

private:
    bool Connect();
    void Push(std::string datagram);
    // Sends the first datagram; false when the log takes nothing now.
    bool SendFirst();
    void Drop(unsigned long records);

    std::string m_path;
    BFd m_fd;
    std::deque<std::string> m_queue;
    std::size_t m_bytes = 0;     // in m_queue
    unsigned long m_dropped = 0; // since the last note of them
    unsigned long m_droppedTotal = 0;
};

#endif
