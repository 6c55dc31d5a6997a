// A test's throwaway places: a fresh directory, removed with what it holds; sockets; what they
// hold.
#ifndef TESTS_SUPPORT_SCRATCH_H
#define TESTS_SUPPORT_SCRATCH_H

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// A nonblocking datagram socket bound at `path` ('@' first: that name in the abstract namespace),
// where a log or a service manager listens; invalid if it cannot be made.
inline BFd BoundDatagram(const std::string& path)
{
    sockaddr_un address{};
    BFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool abstract = path[0] == '@';
    if (!control::SocketAddress(path, address))
        return BFd();
    address.sun_path[0] = abstract ? '\0' : address.sun_path[0];
    const auto length = static_cast<socklen_t>(
        abstract ? offsetof(sockaddr_un, sun_path) + path.size() : sizeof address);
    return bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 ? std::move(fd)
                                                                                    : BFd();
}

// Every datagram waiting at `fd`, without waiting for more.
inline std::vector<std::string> Datagrams(int fd)
{
    std::vector<std::string> datagrams;
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
    return datagrams;
}

// What `fd` gives until its end, or until it would block.
inline std::string ReadAll(int fd)
{
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// The file at `path`, whole; empty when it cannot be read.
inline std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace testsupport

#endif
