#include "host/console/SignalPipe.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t s_writeFd = -1;

// Async-signal-safe: one write, errno kept. A full pipe drops the byte, as
// the reader has a signal of that kind waiting already.
void OnSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = signal == SIGINT ? TSignalPipe::kInterrupt : TSignalPipe::kResize;
    const int fd = s_writeFd;
    if (fd >= 0 && write(fd, &byte, 1) < 0) {
        // Nothing to do from a handler.
    }
    errno = savedErrno;
}

} // namespace

TSignalPipe::TSignalPipe()
{
    int fds[2];
    if (s_writeFd >= 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Reads that a signal interrupts go on: libedit would take a failed
    // read for the end of the input.
    action.sa_flags = SA_RESTART;
    s_writeFd = fds[1];
    const bool caught = sigaction(SIGINT, &action, &m_oldInterrupt) == 0;
    if (caught && sigaction(SIGWINCH, &action, &m_oldResize) == 0) {
        m_readFd = fds[0];
        m_writeFd = fds[1];
        return;
    }
    if (caught)
        sigaction(SIGINT, &m_oldInterrupt, nullptr);
    s_writeFd = -1;
    close(fds[0]);
    close(fds[1]);
}

TSignalPipe::~TSignalPipe()
{
    if (m_readFd < 0)
        return;
    sigaction(SIGWINCH, &m_oldResize, nullptr);
    sigaction(SIGINT, &m_oldInterrupt, nullptr);
    s_writeFd = -1;
    close(m_readFd);
    close(m_writeFd);
}

std::string TSignalPipe::Drain()
{
    std::string bytes;
    if (m_readFd < 0)
        return bytes;
    char buffer[64];
    ssize_t count;
    while ((count = read(m_readFd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::string::size_type>(count));
    return bytes;
}
