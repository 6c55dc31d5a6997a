// While a TFullDisk lives, a write growing a regular file fails with EFBIG (SIGXFSZ ignored).
#ifndef TESTS_SUPPORT_FULLDISK_H
#define TESTS_SUPPORT_FULLDISK_H

#include <csignal>

#include <sys/resource.h>

struct TFullDisk {
    TFullDisk()
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit none = {0, m_saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &none);
    }
    ~TFullDisk()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    TFullDisk(const TFullDisk&) = delete;
    TFullDisk& operator=(const TFullDisk&) = delete;

    struct rlimit m_saved;
    void (*m_savedHandler)(int);
};

#endif
