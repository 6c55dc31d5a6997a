// fsync, renameat, getrandom, openat and flock stood in for in this process: each call is shown to
// its hook, which answers 0 for the real call or an errno to fail it. Link murox_syscall_faults.
#ifndef TESTS_SUPPORT_SYSTEMCALLFAULTS_H
#define TESTS_SUPPORT_SYSTEMCALLFAULTS_H

#include <functional>

#include <time.h>

namespace syscall_faults {

enum class TCall { kFsync, kRenameat, kGetrandom, kOpenat, kFlock };

// The call's descriptor (the directory's, for renameat and openat; -1 for getrandom), its name
// (renameat's source; null for others) and its flags (openat's, flock's operation; else 0).
using THook = std::function<int(int fd, const char* szName, int flags)>;

// While it lives, `hook` sees every call of `call`, and counts them.
class TFault {
public:
    TFault(TCall call, THook hook);
    ~TFault();
    TFault(const TFault&) = delete;
    TFault& operator=(const TFault&) = delete;

    // Calls seen so far, failed or not.
    int Calls() const;

private:
    TCall m_call;
};

// While it lives, CLOCK_REALTIME stands still at `at`, so that what depends on the time repeats.
class TFrozenClock {
public:
    explicit TFrozenClock(const struct timespec& at);
    ~TFrozenClock();
    TFrozenClock(const TFrozenClock&) = delete;
    TFrozenClock& operator=(const TFrozenClock&) = delete;

    // Readings of the frozen clock so far.
    int Reads() const;
};

// A hook failing calls `first` to `last` (1-based) with `error`, letting the others through.
THook Failing(int error, int first = 1, int last = 1 << 30);

} // namespace syscall_faults

#endif
