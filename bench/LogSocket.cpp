#include "LogSocket.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace log_socket {

namespace {
const char szLogPath[] = "/dev/log";
bool s_privateDev = false;
} // namespace

const char* EnterPrivateDev()
{
    if (geteuid() != 0)
        return "needs root for a private /dev";
    if (unshare(CLONE_NEWNS) != 0)
        return "unshare(CLONE_NEWNS) refused";
    // Private first, so that the tmpfs does not propagate to the system.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "cannot make / private";
    if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755") != 0)
        return "cannot mount a tmpfs on /dev";
    s_privateDev = true;
    return nullptr;
}

bool HavePrivateDev()
{
    return s_privateDev;
}

TReceiver::TReceiver() : m_fd(-1), m_szError(nullptr), m_stop(false), m_received(0)
{
    if (!s_privateDev) {
        m_szError = "no private /dev";
        return;
    }
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, szLogPath, sizeof szLogPath);
    unlink(szLogPath);
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        m_szError = "cannot bind /dev/log";
        return;
    }
    // A short timeout lets the thread see the stop request.
    timeval timeout{0, 20000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    m_thread = std::thread(&TReceiver::Drain, this);
}

TReceiver::~TReceiver()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        close(m_fd);
    if (m_szError == nullptr)
        unlink(szLogPath);
}

void TReceiver::Drain()
{
    char record[2048];
    while (!m_stop) {
        if (recv(m_fd, record, sizeof record, 0) > 0)
            ++m_received;
    }
}

} // namespace log_socket
