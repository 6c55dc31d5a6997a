#include "host/server/PeerAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/protocol/BFd.h"

namespace {

// The most groups a process can have (NGROUPS_MAX on Linux).
const std::size_t kMaxGroups = 65536;
// The most of /proc/PID/status read: enough for that many groups.
const std::size_t kMaxStatus = std::size_t{1} << 20;

bool GroupsFromSocket(int fd, std::vector<gid_t>& groups)
{
    std::vector<gid_t> read(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        socklen_t length = static_cast<socklen_t>(read.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, read.data(), &length) == 0) {
            read.resize(length / sizeof(gid_t));
            groups.swap(read);
            return true;
        }
        // Too small a buffer: the kernel says how much it needs.
        const std::size_t needed = length / sizeof(gid_t);
        if (errno != ERANGE || needed <= read.size() || needed > kMaxGroups)
            return false;
        read.resize(needed);
    }
    return false;
}

// Where SO_PEERGROUPS fails (the emulator that runs the PowerPC build,
// qemu-user, does not pass it through), the groups are read from the
// kernel's record of the process, /proc/PID/status, for the pid
// SO_PEERCRED gave. That pid names whichever process has it now: the
// process that connected may have exited and its pid gone to another. So
// the record is read through one descriptor, which stays with the process
// it was opened for and never reaches a later one that takes the pid
// (reading fails once its process is gone). And the process found
// lends its groups only when its effective uid and gid are those the
// kernel recorded at connect (GroupsFromStatus): a pid taken by another
// user's process gives none. A process of the same user and group could
// lend its groups, but that user holds them already.
void GroupsFromProc(TPeer& peer)
{
    const std::string path = "/proc/" + std::to_string(peer.pid) + "/status";
    const BFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string status;
    char buffer[4096];
    ssize_t n = 0;
    while (file.Valid() && status.size() < kMaxStatus &&
           (n = read(file.Get(), buffer, sizeof buffer)) > 0)
        status.append(buffer, static_cast<std::size_t>(n));
    if (!file.Valid() || n < 0) {
        peer.groupsProblem = "process " + std::to_string(peer.pid) + " is gone";
        return;
    }
    GroupsFromStatus(status, peer);
}

// The numbers after `key` on its line of `status`.
std::vector<unsigned long> StatusNumbers(const std::string& status, const std::string& key)
{
    std::vector<unsigned long> numbers;
    const std::string::size_type at = status.find("\n" + key);
    if (at == std::string::npos)
        return numbers;
    std::istringstream line(
        status.substr(at + 1 + key.size(), status.find('\n', at + 1) - at - 1 - key.size()));
    unsigned long number = 0;
    while (numbers.size() < kMaxGroups && line >> number)
        numbers.push_back(number);
    return numbers;
}

} // namespace

bool ReadPeer(int fd, TPeer& peer)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return false;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    peer.groups.clear();
    peer.groupsProblem.clear();
    if (!GroupsFromSocket(fd, peer.groups))
        GroupsFromProc(peer);
    return true;
}

bool GroupsFromStatus(const std::string& status, TPeer& peer)
{
    const std::vector<unsigned long> uids = StatusNumbers(status, "Uid:");
    const std::vector<unsigned long> gids = StatusNumbers(status, "Gid:");
    if (uids.size() < 2 || gids.size() < 2 || status.find("\nGroups:") == std::string::npos) {
        peer.groupsProblem =
            "the kernel's record of process " + std::to_string(peer.pid) + " cannot be read";
        return false;
    }
    if (uids[1] != peer.uid || gids[1] != peer.gid) {
        peer.groupsProblem = "process " + std::to_string(peer.pid) + " is now one of uid " +
                             std::to_string(uids[1]) + ", gid " + std::to_string(gids[1]);
        return false;
    }
    peer.groups.clear();
    for (const unsigned long group : StatusNumbers(status, "Groups:"))
        peer.groups.push_back(static_cast<gid_t>(group));
    return true;
}

bool PeerAllowed(const TPeer& peer, uid_t daemonUid, gid_t group)
{
    return peer.uid == 0 || peer.uid == daemonUid || peer.gid == group ||
           std::find(peer.groups.begin(), peer.groups.end(), group) != peer.groups.end();
}

std::string PeerRefusal(const TPeer& peer, uid_t daemonUid, gid_t group,
                        const std::string& groupName)
{
    if (PeerAllowed(peer, daemonUid, group))
        return std::string();
    std::string refusal = "uid " + std::to_string(peer.uid) +
                          " is not root, the daemon's user or a member of group " + groupName;
    if (!peer.groupsProblem.empty())
        refusal += " (its supplementary groups are unknown: " + peer.groupsProblem + ")";
    return refusal;
}

std::string PeerName(const TPeer& peer)
{
    return "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
}
