// Who may use the control socket. Whoever reaches it can load code into the
// daemon, so each connection's peer is judged by what the kernel says of
// the connecting process, never by the user database: a process that
// dropped a group no longer has it, one that was given it has it.
#ifndef HOST_SERVER_PEERACCESS_H
#define HOST_SERVER_PEERACCESS_H

#include <string>
#include <vector>

#include <sys/types.h>

struct TPeer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups of the process
    std::string groupsProblem; // why they are not known; empty when they are
};

// The credentials of the process at the other end of a connected Unix
// socket, as they were when it connected. False when the kernel gives none.
bool ReadPeer(int fd, TPeer& peer);

// Takes the supplementary groups from `status`, the text of the process's
// /proc/PID/status, when that process has the effective uid and gid the
// socket gave for `peer` (a pid taken by another user's process lends
// none); otherwise says why in peer.groupsProblem.
bool GroupsFromStatus(const std::string& status, TPeer& peer);

// True for root, for the daemon's own user, and for a process whose group
// or supplementary groups include `group`.
bool PeerAllowed(const TPeer& peer, uid_t daemonUid, gid_t group);

// Why `peer` is refused ("uid U is not root, ..."), with why its groups are
// unknown when they are; empty when PeerAllowed lets it in. `groupName`
// names `group`.
std::string PeerRefusal(const TPeer& peer, uid_t daemonUid, gid_t group,
                        const std::string& groupName);

// "uid U, pid P", as the event log names a peer.
std::string PeerName(const TPeer& peer);

#endif
