// System calls made to fail on purpose, for this process alone: the C
// library's fsync, renameat, getrandom, openat, flock, unlinkat, readdir64,
// fchownat, fchmod and renameat2 are stood in for, and each call is first
// shown to the test's hook for that call, if any. The hook answers 0 to let
// the real call go on, or an errno for the call to fail with. Every C library
// function a test stands in for is here. Link the OBJECT library murox_syscall_faults:
// its definitions land in the executable, where the libraries bind to them.
#ifndef TESTS_SUPPORT_SYSTEMCALLFAULTS_H
#define TESTS_SUPPORT_SYSTEMCALLFAULTS_H

#include <functional>

#include <time.h>

namespace syscall_faults {

enum class TCall {
    kFsync,
    kRenameat,
    kGetrandom,
    kOpenat,
    kFlock,
    kUnlinkat,
    kReaddir,
    kFchownat,
    kFchmod,
    kRenameat2
};

// Given the call's descriptor (the directory's, for renameat, renameat2,
// openat, unlinkat, fchownat and readdir64; -1 for getrandom) and the name
// it is given (the source, for renameat and renameat2; null where there is
// none) and its flags (openat's, unlinkat's, fchownat's and renameat2's,
// flock's operation, fchmod's mode; 0 otherwise).
using THook = std::function<int(int fd, const char* szName, int flags)>;

// While it lives, `hook` sees every call of `call`, and counts them;
// `after`, if any, is told once each renameat2 was made.
class TFault {
public:
    TFault(TCall call, THook hook, std::function<void()> after = nullptr);
    ~TFault();
    TFault(const TFault&) = delete;
    TFault& operator=(const TFault&) = delete;

    // Calls seen so far, failed or not.
    int Calls() const;

private:
    TCall m_call;
};

// While it lives, clock_gettime's `clock` stands still at `at` (the C
// library's stand-in; the other clocks run on), and moves only when told:
// what depends on the time alone repeats, however loaded the machine.
class TFrozenClock {
public:
    explicit TFrozenClock(const struct timespec& at, clockid_t clock = CLOCK_REALTIME);
    ~TFrozenClock();
    TFrozenClock(const TFrozenClock&) = delete;
    TFrozenClock& operator=(const TFrozenClock&) = delete;

    // Moves the clock on by `ms` milliseconds.
    void Advance(long long ms);
};

// Calls of poll that this thread made so far (poll is stood in for too,
// only to count): a loop that spins shows.
long PollCalls();

// A hook failing every call with `error`.
inline THook Failing(int error)
{
    return [error](int, const char*, int) { return error; };
}

} // namespace syscall_faults

#endif
