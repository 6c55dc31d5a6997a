#include "host/server/BControlSocket.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/protocol/ControlProtocol.h"
#include "host/protocol/OwnDirectory.h"
#include "host/protocol/UserNames.h"

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Where the socket will be, as a directory and a name within it.
void SplitPath(const std::string& path, std::string& directory, std::string& name)
{
    const std::string::size_type slash = path.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The kernel takes a socket's path only as text: a name within a directory
// descriptor is reached through the descriptor's own entry in /proc, so
// that the directory's path is never looked up again.
bool AddressIn(int directoryFd, const std::string& name, sockaddr_un& address)
{
    return control::SocketAddress("/proc/self/fd/" + std::to_string(directoryFd) + "/" + name,
                                  address);
}

// A step's word on the claim: none when the claim goes on, else how it ends.
using TVerdict = std::optional<TClaimResult>;

TClaimResult Refused(const std::string& error)
{
    TClaimResult result;
    result.outcome = TClaimResult::kRefused;
    result.error = error;
    return result;
}

TClaimResult WithOutcome(TClaimResult::TOutcome outcome)
{
    TClaimResult result;
    result.outcome = outcome;
    return result;
}

std::string DirectoryNamed(const std::string& directory)
{
    return "the socket's directory " + directory;
}

const char kElsewhere[] = ", or give --socket a path in a directory of the daemon's own";

TVerdict CheckSocketPath(const std::string& path)
{
    sockaddr_un address;
    if (control::SocketAddress(path, address))
        return std::nullopt;
    return Refused("socket path '" + path + "' is empty or longer than " +
                   std::to_string(sizeof address.sun_path - 1) + " bytes");
}

// A listening socket at `name`, mode 0660 from the umask and group `group`.
TVerdict ListenAt(int directoryFd, const std::string& name, gid_t group, BFd& fd)
{
    sockaddr_un address;
    if (!AddressIn(directoryFd, name, address))
        return Refused("the socket's name '" + name + "' is too long");
    fd.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid())
        return Refused(Reason("cannot create a socket"));
    // One of this name was left by a daemon of this pid that died.
    unlinkat(directoryFd, name.c_str(), 0);
    const mode_t umaskBefore = umask(0117);
    const int bound = bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int reason = errno;
    umask(umaskBefore);
    errno = reason;
    if (bound != 0)
        return Refused(Reason("cannot create a socket in the socket's directory"));
    if (fchownat(directoryFd, name.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW) !=
        0)
        return Refused(Reason("cannot give the socket group " + std::to_string(group)));
    if (listen(fd.Get(), 128) != 0)
        return Refused(Reason("cannot listen"));
    return std::nullopt;
}

enum class TProbe { kLive, kStale, kGone, kUnknown };

// Whether something accepts at `name`. A full backlog also means a live
// daemon: the probe does not wait for it.
TProbe Probe(int directoryFd, const std::string& name)
{
    sockaddr_un address;
    if (!AddressIn(directoryFd, name, address))
        return TProbe::kUnknown;
    const BFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid())
        return TProbe::kUnknown;
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN || errno == EINPROGRESS)
        return TProbe::kLive;
    if (errno == ECONNREFUSED)
        return TProbe::kStale;
    return errno == ENOENT ? TProbe::kGone : TProbe::kUnknown;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What stands in the way at `name`, found by `before`: a live daemon ends
// the claim; a stale socket, if it is still the one found refusing, is
// removed.
TVerdict ClearTheWay(int directoryFd, const std::string& name, const std::string& path,
                     const struct stat& before)
{
    if (!S_ISSOCK(before.st_mode))
        return Refused(path + " exists and is not a socket: remove it or choose another --socket");
    switch (Probe(directoryFd, name)) {
    case TProbe::kLive:
        return WithOutcome(TClaimResult::kRunning);
    case TProbe::kStale: {
        struct stat now {};
        if (fstatat(directoryFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(now, before))
            unlinkat(directoryFd, name.c_str(), 0);
        return std::nullopt;
    }
    case TProbe::kGone:
        return std::nullopt;
    case TProbe::kUnknown:
        break;
    }
    return Refused(Reason("cannot tell whether a daemon serves " + path));
}

// Links `temporary` to `name`, which fails while anything is there: two
// daemons starting at once cannot both take the path. None once linked.
TVerdict LinkInPlace(int directoryFd, const std::string& temporary, const std::string& name,
                     const std::string& path)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (linkat(directoryFd, temporary.c_str(), directoryFd, name.c_str(), 0) == 0)
            return std::nullopt;
        if (errno != EEXIST)
            return Refused(Reason("cannot create " + path));
        struct stat before {};
        if (fstatat(directoryFd, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (TVerdict verdict = ClearTheWay(directoryFd, name, path, before))
            return verdict;
    }
    return Refused(path + " keeps changing; is another daemon starting?");
}

} // namespace

BControlSocket::~BControlSocket()
{
    Release();
}

TClaimResult BControlSocket::Claim(const std::string& path, gid_t group)
{
    Release();
    std::string directoryPath, name;
    SplitPath(path, directoryPath, name);
    BFd directory;
    TVerdict verdict = CheckSocketPath(path);
    if (verdict)
        return *verdict;
    const std::string problem = control::OpenOwnDirectory(
        directoryPath, 0750, group, DirectoryNamed(directoryPath), kElsewhere, directory);
    if (!problem.empty())
        return Refused(problem);
    BFd socket;
    const std::string temporary = ".murox-" + std::to_string(getpid()) + ".ctl";
    verdict = ListenAt(directory.Get(), temporary, group, socket);
    if (!verdict)
        verdict = LinkInPlace(directory.Get(), temporary, name, path);
    unlinkat(directory.Get(), temporary.c_str(), 0);
    if (verdict)
        return *verdict;
    return Keep(std::move(socket), std::move(directory), path, name);
}

TClaimResult BControlSocket::Keep(BFd socket, BFd directory, const std::string& path,
                                  const std::string& name)
{
    struct stat claimed {};
    if (fstatat(directory.Get(), name.c_str(), &claimed, AT_SYMLINK_NOFOLLOW) != 0)
        return Refused(path + " vanished as it was made; is another daemon starting?");
    m_socket = std::move(socket);
    m_directory = std::move(directory);
    m_path = path;
    m_name = name;
    m_device = claimed.st_dev;
    m_inode = claimed.st_ino;
    m_group = claimed.st_gid;
    m_groupName = control::GroupName(m_group);
    return WithOutcome(TClaimResult::kClaimed);
}

gid_t BControlSocket::Group() const
{
    struct stat now {};
    if (m_directory.Valid() &&
        fstatat(m_directory.Get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_ino == m_inode && now.st_dev == m_device)
        return now.st_gid;
    return m_group;
}

std::string BControlSocket::GroupLabel(gid_t group) const
{
    return group == m_group && !m_groupName.empty() ? m_groupName : std::to_string(group);
}

void BControlSocket::Release()
{
    if (!m_socket.Valid())
        return;
    m_socket.Reset();
    struct stat now {};
    if (fstatat(m_directory.Get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_ino == m_inode && now.st_dev == m_device)
        unlinkat(m_directory.Get(), m_name.c_str(), 0);
    m_directory.Reset();
    m_path.clear();
    m_name.clear();
}
