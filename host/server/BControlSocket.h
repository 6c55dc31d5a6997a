// The daemon's listening socket. Its path is also the lock that keeps a
// second daemon away: no PID file is kept.
#ifndef HOST_SERVER_BCONTROLSOCKET_H
#define HOST_SERVER_BCONTROLSOCKET_H

#include <string>

#include <sys/types.h>

class BControlSocket {
public:
    BControlSocket() = default;
    BControlSocket(const BControlSocket&) = delete;
    BControlSocket& operator=(const BControlSocket&) = delete;
    // Release()s.
    ~BControlSocket();

    // Listens at `path`, a Unix stream socket of mode 0660, creating its
    // directory with mode 0750 when it is missing (an existing one is left
    // as it is). A socket there that accepts belongs to a running daemon:
    // false, with `running` set. One that refuses was left by a daemon that
    // died and is replaced. Any other failure: false with the reason in
    // `error`. The path appears only once the socket listens with its mode.
    bool Claim(const std::string& path, std::string& error, bool& running);

    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }
    // The group of the socket file now (an operator may change it), or the
    // one it was made with when the file cannot be read.
    gid_t Group() const;

    // Stops listening and removes the path, if it is still this socket's.
    void Release();

private:
    int m_fd = -1;
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    gid_t m_group = 0;
};

#endif
