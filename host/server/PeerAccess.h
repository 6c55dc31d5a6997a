// Who may use the control socket. Whoever reaches it can load code into the
// daemon, so each connection's peer is checked by its credentials, which
// the kernel vouches for, and not by the socket file's permissions alone.
#ifndef HOST_SERVER_PEERACCESS_H
#define HOST_SERVER_PEERACCESS_H

#include <string>

#include <sys/types.h>

struct TPeer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials of the process at the other end of a connected Unix
// socket, as they were when it connected. False when the kernel gives none.
bool ReadPeer(int fd, TPeer& peer);

// True for root, for the daemon's own user, and for members of `group`
// (the peer's primary group, or a supplementary group of its user).
bool PeerAllowed(const TPeer& peer, uid_t daemonUid, gid_t group);

// "uid U, pid P", as the event log names a peer.
std::string PeerName(const TPeer& peer);

// The group's name, or its number when it has none.
std::string GroupName(gid_t group);

#endif
