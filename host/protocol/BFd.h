// A file descriptor owned by one object: closed when the owner goes, moved
// but never copied.
#ifndef HOST_PROTOCOL_BFD_H
#define HOST_PROTOCOL_BFD_H

#include <unistd.h>

class BFd {
public:
    BFd() = default;
    explicit BFd(int fd) : m_fd(fd) {}
    BFd(BFd&& other) noexcept : m_fd(other.Release()) {}
    BFd& operator=(BFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    BFd(const BFd&) = delete;
    BFd& operator=(const BFd&) = delete;
    ~BFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds `fd`.
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

#endif
