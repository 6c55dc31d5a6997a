#include "host/server/PeerAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// The supplementary groups of `uid` as the user database lists them.
bool UserInGroup(uid_t uid, gid_t primary, gid_t group)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* pEntry = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pEntry) != 0 || pEntry == nullptr)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(pEntry->pw_name, primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(pEntry->pw_name, primary, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<std::size_t>(count));
    for (const gid_t member : groups)
        if (member == group)
            return true;
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
    return true;
}

bool PeerAllowed(const TPeer& peer, uid_t daemonUid, gid_t group)
{
    return peer.uid == 0 || peer.uid == daemonUid || peer.gid == group ||
           UserInGroup(peer.uid, peer.gid, group);
}

std::string PeerName(const TPeer& peer)
{
    return "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
}

std::string GroupName(gid_t gid)
{
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* pEntry = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &pEntry) == 0 && pEntry != nullptr)
        return pEntry->gr_name;
    return std::to_string(gid);
}
