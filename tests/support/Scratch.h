// A test's throwaway places: a fresh directory, removed with what it holds; sockets.
#ifndef TESTS_SUPPORT_SCRATCH_H
#define TESTS_SUPPORT_SCRATCH_H

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>

#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"

namespace testsupport {

class TScratchDir {
public:
    TScratchDir()
    {
        std::string dir = "/tmp/murox-test-XXXXXX";
        m_path = mkdtemp(&dir[0]) != nullptr ? dir : "/nonexistent";
    }
    ~TScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A stream socket listening at `path`; invalid if it cannot be made.
inline BFd ListenAt(const std::string& path, int backlog = 4)
{
    sockaddr_un address{};
    BFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!control::SocketAddress(path, address) ||
        bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), backlog) != 0)
        return BFd();
    return fd;
}

// A connected pair, nonblocking: {served end, test's end}. With `small` buffers, what the test
// leaves unread waits in the served end's queue.
inline std::pair<BFd, BFd> SocketPair(bool small = false)
{
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0 && small) {
        const int size = 4096;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return {BFd(pair[0]), BFd(pair[1])};
}

} // namespace testsupport

#endif
