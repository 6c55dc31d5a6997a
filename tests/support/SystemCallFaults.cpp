#include "tests/support/SystemCallFaults.h"

#include <cerrno>
#include <cstdarg>

#include <cstdio>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace syscall_faults {
namespace {

struct TStandIn {
    THook hook;
    int calls = 0;
    std::function<void()> after;
};

TStandIn s_standIns[static_cast<int>(TCall::kRenameat2) + 1];

bool s_frozen = false;
clockid_t s_frozenClock = CLOCK_REALTIME;
struct timespec s_frozenAt = {};

TStandIn& StandIn(TCall call)
{
    return s_standIns[static_cast<int>(call)];
}

// 0 to go on, or -1 with errno set as the hook said.
int Shown(TCall call, int fd, const char* szName, int flags)
{
    TStandIn& standIn = StandIn(call);
    ++standIn.calls;
    const int error = standIn.hook ? standIn.hook(fd, szName, flags) : 0;
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

// Whether openat is given a mode: O_TMPFILE holds O_DIRECTORY's bit.
bool TakesMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// The system call `number` with `args`, unless `call`'s hook fails it: -1 then.
template <typename... TArgs>
long Through(TCall call, int fd, const char* szName, int flags, long number, TArgs... args)
{
    return Shown(call, fd, szName, flags) != 0 ? -1 : ::syscall(number, args...);
}

int OpenAt(int dirFd, const char* szName, int flags, mode_t mode)
{
    return static_cast<int>(
        Through(TCall::kOpenat, dirFd, szName, flags, SYS_openat, dirFd, szName, flags, mode));
}

} // namespace

TFault::TFault(TCall call, THook hook, std::function<void()> after) : m_call(call)
{
    StandIn(call) = TStandIn{std::move(hook), 0, std::move(after)};
}

TFault::~TFault()
{
    StandIn(m_call) = TStandIn{};
}

int TFault::Calls() const
{
    return StandIn(m_call).calls;
}

TFrozenClock::TFrozenClock(const struct timespec& at, clockid_t clock)
{
    s_frozenClock = clock;
    s_frozenAt = at;
    s_frozen = true;
}

TFrozenClock::~TFrozenClock()
{
    s_frozen = false;
}

void TFrozenClock::Advance(long long ms)
{
    const long long ns = static_cast<long long>(s_frozenAt.tv_nsec) + ms % 1000 * 1000000;
    s_frozenAt.tv_sec += static_cast<time_t>(ms / 1000 + ns / 1000000000);
    s_frozenAt.tv_nsec = static_cast<long>(ns % 1000000000);
}

// Whether the clock read now is the frozen one, which it then gives.
bool ReadFrozen(clockid_t clock, struct timespec* pTime)
{
    if (!s_frozen || clock != s_frozenClock)
        return false;
    *pTime = s_frozenAt;
    return true;
}

// The call's result, once `call`'s `after`, if any, was told of it.
int Made(TCall call, long result)
{
    const int saved = errno;
    if (StandIn(call).after)
        StandIn(call).after();
    errno = saved;
    return static_cast<int>(result);
}

} // namespace syscall_faults

using syscall_faults::ReadFrozen;
using syscall_faults::TakesMode;
using syscall_faults::TCall;
using syscall_faults::Through;

extern "C" int fsync(int fd)
{
    return static_cast<int>(Through(TCall::kFsync, fd, nullptr, 0, SYS_fsync, fd));
}

extern "C" int renameat(int oldDir, const char* szOld, int newDir, const char* szNew) noexcept
{
    return static_cast<int>(Through(TCall::kRenameat, oldDir, szOld, 0, SYS_renameat2, oldDir,
                                    szOld, newDir, szNew, 0));
}

extern "C" ssize_t getrandom(void* pBuffer, size_t length, unsigned int flags)
{
    return static_cast<ssize_t>(Through(TCall::kGetrandom, -1, nullptr, static_cast<int>(flags),
                                        SYS_getrandom, pBuffer, length, flags));
}

extern "C" int openat(int dirFd, const char* szName, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return syscall_faults::OpenAt(dirFd, szName, flags, mode);
}

// Where the C library maps openat to it, for a large file offset.
extern "C" int openat64(int dirFd, const char* szName, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return syscall_faults::OpenAt(dirFd, szName, flags | O_LARGEFILE, mode);
}

extern "C" int flock(int fd, int operation) noexcept
{
    return static_cast<int>(
        Through(TCall::kFlock, fd, nullptr, operation, SYS_flock, fd, operation));
}

extern "C" int unlinkat(int dirFd, const char* szName, int flags) noexcept
{
    return static_cast<int>(
        Through(TCall::kUnlinkat, dirFd, szName, flags, SYS_unlinkat, dirFd, szName, flags));
}

// The C library reads the directory: a failure is all that is stood in for.
// The store, built with 64-bit file offsets, calls readdir64.
extern "C" struct dirent64* readdir64(DIR* pDir)
{
    using TReaddir = struct dirent64* (*)(DIR*);
    static const auto s_real = reinterpret_cast<TReaddir>(::dlsym(RTLD_NEXT, "readdir64"));
    if (syscall_faults::Shown(TCall::kReaddir, ::dirfd(pDir), nullptr, 0) != 0)
        return nullptr;
    return s_real(pDir);
}

namespace {

thread_local long s_pollCalls = 0;

} // namespace

long syscall_faults::PollCalls()
{
    return s_pollCalls;
}

extern "C" int poll(struct pollfd* pFds, nfds_t count, int timeout)
{
    ++s_pollCalls;
    return static_cast<int>(::syscall(SYS_poll, pFds, count, timeout));
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* pTime) noexcept
{
    if (ReadFrozen(clock, pTime))
        return 0;
    return static_cast<int>(::syscall(SYS_clock_gettime, clock, pTime));
}

extern "C" int fchownat(int dirFd, const char* szName, uid_t owner, gid_t group, int flags) noexcept
{
    return static_cast<int>(Through(TCall::kFchownat, dirFd, szName, flags, SYS_fchownat, dirFd,
                                    szName, owner, group, flags));
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    return static_cast<int>(
        Through(TCall::kFchmod, fd, nullptr, static_cast<int>(mode), SYS_fchmod, fd, mode));
}

extern "C" int renameat2(int oldDir, const char* szOld, int newDir, const char* szNew,
                         unsigned flags) noexcept
{
    return syscall_faults::Made(TCall::kRenameat2,
                                Through(TCall::kRenameat2, oldDir, szOld, static_cast<int>(flags),
                                        SYS_renameat2, oldDir, szOld, newDir, szNew, flags));
}
