#include "host/console/BSignalPipe.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

const int kCaught[] = {SIGINT, SIGWINCH, SIGCONT};
const char kBytes[] = {BSignalPipe::kInterrupt, BSignalPipe::kResize, BSignalPipe::kContinue};

volatile sig_atomic_t s_writeFd = -1;

// Async-signal-safe: one write, errno kept. A full pipe drops the byte, as
// the reader has a signal of that kind waiting already.
void OnSignal(int signal)
{
    const int savedErrno = errno;
    char byte = 0;
    for (unsigned i = 0; i < sizeof kCaught / sizeof kCaught[0]; ++i)
        if (kCaught[i] == signal)
            byte = kBytes[i];
    const int fd = s_writeFd;
    if (fd >= 0 && byte != 0 && write(fd, &byte, 1) < 0) {
        // Nothing to do from a handler.
    }
    errno = savedErrno;
}

} // namespace

BSignalPipe::BSignalPipe()
{
    static_assert(sizeof kCaught / sizeof kCaught[0] == kSignals, "one byte a signal");
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
    int caught = 0;
    while (caught < kSignals && sigaction(kCaught[caught], &action, &m_old[caught]) == 0)
        ++caught;
    if (caught == kSignals) {
        m_readFd = fds[0];
        m_writeFd = fds[1];
        return;
    }
    while (caught-- > 0)
        sigaction(kCaught[caught], &m_old[caught], nullptr);
    s_writeFd = -1;
    close(fds[0]);
    close(fds[1]);
}

BSignalPipe::~BSignalPipe()
{
    if (m_readFd < 0)
        return;
    for (int i = kSignals; i-- > 0;)
        sigaction(kCaught[i], &m_old[i], nullptr);
    s_writeFd = -1;
    close(m_readFd);
    close(m_writeFd);
}

std::string BSignalPipe::Drain()
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
