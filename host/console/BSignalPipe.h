// Signals turned into bytes on a pipe, for a poll loop.
#ifndef HOST_CONSOLE_BSIGNALPIPE_H
#define HOST_CONSOLE_BSIGNALPIPE_H

#include <csignal>
#include <string>

// While it lives, SIGINT, SIGWINCH and SIGCONT are caught by a handler that
// only writes one byte to a pipe: kInterrupt, kResize or kContinue. The
// earlier handlers are restored at destruction. At most one at a time in a
// process.
class BSignalPipe {
public:
    static const char kInterrupt = 'I';
    static const char kResize = 'W';
    static const char kContinue = 'C';

    BSignalPipe();
    ~BSignalPipe();
    BSignalPipe(const BSignalPipe&) = delete;
    BSignalPipe& operator=(const BSignalPipe&) = delete;

    // False when the pipe or a handler could not be set up; nothing is
    // caught then.
    bool Ok() const { return m_readFd >= 0; }
    // Readable when a signal came.
    int Fd() const { return m_readFd; }
    // The bytes of the signals that came since the last call, in order.
    std::string Drain();

private:
    static const int kSignals = 3;

    int m_readFd = -1;
    int m_writeFd = -1;
    struct sigaction m_old[kSignals] {};
};

#endif
