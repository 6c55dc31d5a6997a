#include "host/server/BControlSocket.h"

#include "host/protocol/ControlProtocol.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string Directory(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

enum class TProbe { kLive, kStale, kGone, kUnknown };

// Whether something accepts at `path`. A full backlog also means a live
// daemon: the probe does not wait for it.
TProbe Probe(const std::string& path)
{
    sockaddr_un address;
    if (!control::SocketAddress(path, address))
        return TProbe::kUnknown;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return TProbe::kUnknown;
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(fd);
    if (result == 0 || error == EAGAIN || error == EINPROGRESS)
        return TProbe::kLive;
    if (error == ECONNREFUSED)
        return TProbe::kStale;
    return error == ENOENT ? TProbe::kGone : TProbe::kUnknown;
}

} // namespace

BControlSocket::~BControlSocket()
{
    Release();
}

bool BControlSocket::Claim(const std::string& path, std::string& error, bool& running)
{
    running = false;
    Release();
    sockaddr_un address;
    if (!control::SocketAddress(path, address)) {
        error = "socket path '" + path + "' is empty or longer than " +
                std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    const std::string directory = Directory(path);
    if (mkdir(directory.c_str(), 0750) == 0) {
        chmod(directory.c_str(), 0750); // whatever the umask took away
    } else if (errno != EEXIST) {
        error = Reason("cannot create the socket's directory '" + directory + "'");
        return false;
    }
    // The socket is made under a name of its own and linked into place,
    // which fails while anything is there: two daemons starting at once
    // cannot both take the path.
    const std::string temporary = directory + "/.murox-" + std::to_string(getpid()) + ".ctl";
    sockaddr_un temporaryAddress;
    if (!control::SocketAddress(temporary, temporaryAddress)) {
        error = "socket path '" + path + "' leaves no room for a temporary name beside it";
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = Reason("cannot create a socket");
        return false;
    }
    unlink(temporary.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&temporaryAddress), sizeof temporaryAddress) !=
            0 ||
        chmod(temporary.c_str(), 0660) != 0 || listen(fd, 128) != 0) {
        error = Reason("cannot listen in '" + directory + "'");
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    bool linked = false;
    for (int attempt = 0; attempt < 5 && !running && error.empty(); ++attempt) {
        if (link(temporary.c_str(), path.c_str()) == 0) {
            linked = true;
            break;
        }
        if (errno != EEXIST) {
            error = Reason("cannot create '" + path + "'");
            break;
        }
        struct stat before {};
        if (lstat(path.c_str(), &before) != 0)
            continue; // gone meanwhile
        if (!S_ISSOCK(before.st_mode)) {
            error = "'" + path + "' exists and is not a socket";
            break;
        }
        switch (Probe(path)) {
        case TProbe::kLive:
            running = true;
            break;
        case TProbe::kStale: {
            // Removed only if it is still the socket found refusing.
            struct stat now {};
            if (lstat(path.c_str(), &now) == 0 && now.st_ino == before.st_ino &&
                now.st_dev == before.st_dev)
                unlink(path.c_str());
            break;
        }
        case TProbe::kGone:
            break;
        case TProbe::kUnknown:
            error = Reason("cannot tell whether a daemon serves '" + path + "'");
            break;
        }
    }
    unlink(temporary.c_str());
    struct stat claimed {};
    if (!linked || lstat(path.c_str(), &claimed) != 0) {
        if (!running && error.empty())
            error = "'" + path + "' keeps changing; is another daemon starting?";
        close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_device = claimed.st_dev;
    m_inode = claimed.st_ino;
    m_group = claimed.st_gid;
    return true;
}

gid_t BControlSocket::Group() const
{
    struct stat now {};
    if (!m_path.empty() && stat(m_path.c_str(), &now) == 0 && now.st_ino == m_inode)
        return now.st_gid;
    return m_group;
}

void BControlSocket::Release()
{
    if (m_fd < 0)
        return;
    close(m_fd);
    m_fd = -1;
    struct stat now {};
    if (lstat(m_path.c_str(), &now) == 0 && now.st_ino == m_inode && now.st_dev == m_device)
        unlink(m_path.c_str());
    m_path.clear();
}
