// The daemon's listening socket. Its path is also the lock that keeps a
// second daemon away: no PID file is kept.
//
// Whoever reaches the socket can load code into the daemon, so nothing on
// the way to it is taken on trust: the directory must be the daemon's own,
// the socket gets its mode from the umask and its group explicitly, and
// every step after the directory is checked works through a descriptor
// of it, never through the path again.
#ifndef HOST_SERVER_BCONTROLSOCKET_H
#define HOST_SERVER_BCONTROLSOCKET_H

#include <string>

#include <sys/types.h>

#include "host/protocol/BFd.h"

struct TClaimResult {
    enum TOutcome {
        kClaimed, // the socket listens at the path
        kRunning, // a live daemon serves the path already
        kRefused  // `error` says why, in one line, and how to fix it
    };
    TOutcome outcome = kRefused;
    std::string error;
};

class BControlSocket {
public:
    BControlSocket() = default;
    BControlSocket(const BControlSocket&) = delete;
    BControlSocket& operator=(const BControlSocket&) = delete;
    // Release()s.
    ~BControlSocket();

    // Listens at `path`, a Unix stream socket of mode 0660 and group
    // `group`. Its directory is created with mode 0750 and group `group`
    // when missing, so that the group's members reach the socket; an
    // existing one must be a real directory (not a symbolic link) owned by
    // root or the daemon's user and writable by no one else. A socket there
    // that accepts belongs to a running daemon; one that refuses was left by
    // a daemon that died and is replaced; anything else is left alone. The
    // path appears only once the socket listens with its mode and group,
    // and no temporary name is left behind, whatever the outcome.
    TClaimResult Claim(const std::string& path, gid_t group);

    int Fd() const { return m_socket.Get(); }
    const std::string& Path() const { return m_path; }
    // The group of the socket file now (an operator may change it), or the
    // one it was made with when the file cannot be read.
    gid_t Group() const;
    // How a refusal names `group`: the name the user database gave the
    // group the socket was made with, looked up as it was claimed so that
    // the loop never waits on that database; any other group by number.
    std::string GroupLabel(gid_t group) const;

    // Stops listening and removes the socket file, if it is still this
    // socket's.
    void Release();

private:
    // Holds the socket that now listens at `path`, found as `name` in
    // `directory`.
    TClaimResult Keep(BFd socket, BFd directory, const std::string& path, const std::string& name);

    BFd m_socket;
    BFd m_directory;
    std::string m_path;
    std::string m_name; // within m_directory
    dev_t m_device = 0;
    ino_t m_inode = 0;
    gid_t m_group = 0;
    std::string m_groupName; // m_group's, once claimed
};

#endif
