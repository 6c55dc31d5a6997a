#include "host/server/PeerAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <grp.h>
#include <sys/socket.h>

namespace {

// The most groups a process can have (NGROUPS_MAX on Linux).
const std::size_t kMaxGroups = 65536;

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

// The "Groups:" line of /proc/PID/status. The emulator that runs the
// PowerPC build (qemu-user) does not pass SO_PEERGROUPS through (it fails
// with ERANGE and no size), so there the groups are read from the kernel's
// record of the process, right after accept: a peer that exited since
// gives none and is judged by its uid and gid alone.
bool GroupsFromProc(pid_t pid, std::vector<gid_t>& groups)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 7, "Groups:") != 0)
            continue;
        std::istringstream numbers(line.substr(7));
        std::vector<gid_t> read;
        unsigned long group = 0;
        while (numbers >> group && read.size() < kMaxGroups)
            read.push_back(static_cast<gid_t>(group));
        groups.swap(read);
        return true;
    }
    return false;
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
    if (!GroupsFromSocket(fd, peer.groups))
        GroupsFromProc(peer.pid, peer.groups);
    return true;
}

bool PeerAllowed(const TPeer& peer, uid_t daemonUid, gid_t group)
{
    return peer.uid == 0 || peer.uid == daemonUid || peer.gid == group ||
           std::find(peer.groups.begin(), peer.groups.end(), group) != peer.groups.end();
}

std::string PeerName(const TPeer& peer)
{
    return "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
}

std::string GroupName(gid_t gid)
{
    std::string buffer(16384, '\0');
    struct group entry {};
    struct group* pEntry = nullptr;
    if (getgrgid_r(gid, &entry, &buffer[0], buffer.size(), &pEntry) == 0 && pEntry != nullptr)
        return pEntry->gr_name;
    return std::to_string(gid);
}
