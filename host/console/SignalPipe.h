// Signals turned into bytes on a pipe, for a poll loop.
#ifndef HOST_CONSOLE_SIGNALPIPE_H
#define HOST_CONSOLE_SIGNALPIPE_H

#include <csignal>
#include <string>

// While it lives, SIGINT and SIGWINCH are caught by a handler that only
// writes one byte to a pipe: kInterrupt or kResize. The earlier handlers
// are restored at destruction. At most one at a time in a process.
class TSignalPipe {
public:
    static const char kInterrupt = 'I';
    static const char kResize = 'W';

    TSignalPipe();
    ~TSignalPipe();
    TSignalPipe(const TSignalPipe&) = delete;
    TSignalPipe& operator=(const TSignalPipe&) = delete;

    // False when the pipe or a handler could not be set up; nothing is
    // caught then.
    bool Ok() const { return m_readFd >= 0; }
    // Readable when a signal came.
    int Fd() const { return m_readFd; }
    // The bytes of the signals that came since the last call, in order.
    std::string Drain();

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    struct sigaction m_oldInterrupt {};
    struct sigaction m_oldResize {};
};

#endif
