// The system log for the syslog benchmarks: this process gets a /dev of
// its own, where /dev/log is either absent or a socket that a thread of
// the benchmark drains. The system's own log never sees a record.
#ifndef BENCH_LOGSOCKET_H
#define BENCH_LOGSOCKET_H

#include <atomic>
#include <thread>

namespace log_socket {

// Gives the process a private mount namespace with an empty tmpfs on
// /dev. Must run before any thread starts; needs root. Returns null on
// success, else why it could not be done.
const char* EnterPrivateDev();
// Whether EnterPrivateDev succeeded.
bool HavePrivateDev();

// While alive, /dev/log is a datagram socket whose records a thread reads
// and counts; afterwards /dev/log is gone again. Only in a private /dev.
class TReceiver {
public:
    TReceiver();
    ~TReceiver();
    TReceiver(const TReceiver&) = delete;
    TReceiver& operator=(const TReceiver&) = delete;

    // Null when the socket is bound, else why not.
    const char* Error() const { return m_szError; }
    unsigned long Received() const { return m_received; }

private:
    void Drain();

    int m_fd;
    const char* m_szError;
    std::atomic<bool> m_stop;
    std::atomic<unsigned long> m_received;
    std::thread m_thread;
};

} // namespace log_socket

#endif
