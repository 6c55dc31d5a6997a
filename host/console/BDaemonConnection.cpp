#include "host/console/BDaemonConnection.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/protocol/UserNames.h"

namespace {

bool InGroup(gid_t group)
{
    if (getegid() == group)
        return true;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int read = groups.empty() ? 0 : getgroups(count, groups.data());
    return read > 0 && std::find(groups.begin(), groups.begin() + read, group) != groups.end();
}

std::string Described(const struct stat& info)
{
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "uid " + std::to_string(info.st_uid) + ", group " + std::to_string(info.st_gid) +
           ", mode " + mode;
}

// How this user joins the group, named before.
std::string HowToJoin(gid_t group)
{
    return "join it with: adduser " + control::UserName(geteuid()) + " " +
           control::GroupName(group) + " (as root), then log in again";
}

// The group that lets this user in, and how to join it.
std::string JoinHint(gid_t group)
{
    return "access needs membership of the group " + control::GroupName(group) + "; " +
           HowToJoin(group);
}

// Why connecting at `path` was not allowed: the socket's group, when this
// process is not in it, or the group of the daemon's directory that keeps
// this user out (the daemon makes it with the socket's group); else
// whatever keeps a member out. A member of that group is never told to
// join it.
std::string AccessRefused(const std::string& path)
{
    const std::string lead = "a daemon may serve " + path + ", but this user may not use it: ";
    struct stat socketInfo {};
    const bool seen = stat(path.c_str(), &socketInfo) == 0;
    if (seen && !InGroup(socketInfo.st_gid))
        return lead + JoinHint(socketInfo.st_gid);
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    struct stat directoryInfo {};
    const bool closed = stat(directory.c_str(), &directoryInfo) == 0 &&
                        faccessat(AT_FDCWD, directory.c_str(), X_OK, AT_EACCESS) != 0;
    if (closed && !InGroup(directoryInfo.st_gid) && (directoryInfo.st_mode & S_IXGRP) != 0)
        return lead + JoinHint(directoryInfo.st_gid);
    if (closed)
        return lead + "its directory " + directory + " (" + Described(directoryInfo) +
               ") does not let this user through; it must let the socket's group in";
    if (seen)
        return lead + "this user is in the socket's group, but the socket (" +
               Described(socketInfo) + ") does not let its group write";
    return lead + "a directory on the way to it does not let this user through";
}

// A farewell's text as the reason a console gives for leaving.
std::string FarewellReason(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.compare(0, 7, "murox: ") == 0)
        text.erase(0, 7);
    return text;
}

} // namespace

bool TakeGreeting(const control::TFrame& frame, const std::string& path, std::string& greeting,
                  std::string& error)
{
    if (frame.type == control::kFarewell) {
        error = FarewellReason(frame.payload);
        return false;
    }
    const std::string hello = std::string(control::kGreeting) + " ";
    if (frame.type != control::kHello || frame.payload.compare(0, hello.size(), hello) != 0) {
        error = path + " does not speak the murox control protocol";
        return false;
    }
    greeting = frame.payload.substr(hello.size());
    return true;
}

std::string SecondsText(std::chrono::milliseconds wait)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g seconds", static_cast<double>(wait.count()) / 1000);
    return text;
}

bool BDaemonConnection::Connect(const std::string& path, std::string& error, int interruptFd)
{
    m_untrusted = false;
    m_refused = false;
    // A connection made again starts afresh: nothing of the last one's
    // stream is read as this one's.
    m_reader = control::BFrameReader::FromDaemon();
    m_greeting.clear();
    m_interruptFd = interruptFd;
    const bool connected = Open(path, error) && Trusted(error) && Greeted(error);
    m_interruptFd = -1;
    if (!connected)
        m_fd.Reset();
    return connected;
}

// Lines carry the operator's authority: they go only to a daemon of root
// or of the operator's own user, as the kernel knows the peer, however the
// socket was found.
bool BDaemonConnection::Trusted(std::string& error)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(m_fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        error = "cannot tell who serves " + m_path + ": " + std::strerror(errno);
        m_untrusted = true;
        return false;
    }
    if (peer.uid == 0 || peer.uid == geteuid())
        return true;
    error = "the socket " + m_path + " is served by uid " + std::to_string(peer.uid) +
            ", neither root nor this user: not trusted";
    m_untrusted = true;
    return false;
}

bool BDaemonConnection::Open(const std::string& path, std::string& error)
{
    sockaddr_un address;
    if (!control::SocketAddress(path, address)) {
        error = "socket path '" + path + "' is empty or too long";
        return false;
    }
    m_path = path;
    m_fd.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Bounds connect() too: it waits while the daemon's backlog is full.
    const timeval patience = {static_cast<time_t>(m_patience.count() / 1000),
                              static_cast<suseconds_t>(m_patience.count() % 1000 * 1000)};
    if (m_fd.Valid() &&
        setsockopt(m_fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience) == 0 &&
        connect(m_fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    m_refused = errno == EACCES;
    error = m_refused ? AccessRefused(path)
                      : "no daemon answers at " + path + ": " + std::strerror(errno);
    return false;
}

bool BDaemonConnection::Greeted(std::string& error)
{
    control::TFrame frame;
    const TClock::time_point deadline = TClock::now() + m_patience;
    const TResult result = Receive(frame, error, deadline);
    if (result == kTimedOut)
        error = "the daemon at " + m_path + " sent no greeting within " + SecondsText(m_patience);
    const std::string refused = control::kAccessRefused;
    m_refused = result == kReceived && frame.type == control::kFarewell &&
                frame.payload.compare(0, refused.size(), refused) == 0;
    if (result == kReceived && TakeGreeting(frame, m_path, m_greeting, error))
        return true;
    // The daemon names its group; the console knows who it is.
    struct stat socketInfo {};
    if (m_refused && stat(m_path.c_str(), &socketInfo) == 0 && !InGroup(socketInfo.st_gid))
        error += "; " + HowToJoin(socketInfo.st_gid);
    return false;
}

bool BDaemonConnection::Send(char type, const std::string& payload, std::string& error)
{
    std::string frame;
    control::AppendFrame(frame, type, payload);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(m_fd.Get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            error = "the daemon at " + m_path + " took nothing for " + SecondsText(m_patience);
            return false;
        }
        if (n <= 0) {
            error = ClosedReason();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// A daemon that closed while a frame was on its way may have said why
// before: its farewell is among what it sent last, read up to a bound.
std::string BDaemonConnection::ClosedReason()
{
    std::size_t read = 0;
    for (;;) {
        control::TFrame frame;
        while (m_reader.Next(frame) == control::BFrameReader::kFrame)
            if (frame.type == control::kFarewell)
                return FarewellReason(frame.payload);
        char buffer[16384];
        const ssize_t n =
            read < kLastWordsBytes ? recv(m_fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT) : 0;
        if (n <= 0)
            return "the daemon at " + m_path + " closed the connection";
        m_reader.Append(buffer, static_cast<std::size_t>(n));
        read += static_cast<std::size_t>(n);
    }
}

BDaemonConnection::TResult BDaemonConnection::Receive(control::TFrame& frame, std::string& error,
                                                      TClock::time_point deadline)
{
    for (;;) {
        switch (m_reader.Next(frame)) {
        case control::BFrameReader::kFrame:
            return kReceived;
        case control::BFrameReader::kMalformed:
            error = "the daemon at " + m_path + " sent a malformed frame";
            return kLost;
        case control::BFrameReader::kNone:
            break;
        }
        const int ready = AwaitInput(deadline, error);
        if (ready < 0)
            return kLost;
        if (ready == 0)
            return kTimedOut;
        char buffer[16384];
        const ssize_t n = recv(m_fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            error = "the daemon at " + m_path + " closed the connection";
            return kLost;
        }
        m_reader.Append(buffer, static_cast<std::size_t>(n));
    }
}

int BDaemonConnection::AwaitInput(TClock::time_point deadline, std::string& error) const
{
    for (;;) {
        int timeout = -1;
        const TClock::time_point now = TClock::now();
        if (deadline <= now) {
            timeout = 0;
        } else if (deadline != TClock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        pollfd readable[2] = {{m_fd.Get(), POLLIN, 0}, {m_interruptFd, POLLIN, 0}};
        const int ready = poll(readable, 2, timeout);
        if (ready > 0 && (readable[1].revents & POLLIN) != 0) {
            error = "interrupted";
            return -1;
        }
        if (ready >= 0)
            return ready;
        if (errno != EINTR) {
            error = std::string("poll failed: ") + std::strerror(errno);
            return -1;
        }
    }
}
