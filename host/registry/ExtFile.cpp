#include "host/registry/ExtFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

std::string Octal(mode_t mode)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// snprintf rather than std::to_string, whose digit table the library
// would export.
std::string Uid(uid_t uid)
{
    char text[32];
    std::snprintf(text, sizeof text, "uid %lu", static_cast<unsigned long>(uid));
    return text;
}

std::string CannotRead(const std::string& path)
{
    return "cannot read " + path + ": " + std::strerror(errno);
}

// Who may own what is loaded: "root", or "root or uid N".
std::string Owners()
{
    const uid_t self = geteuid();
    return self == 0 ? "root" : "root or " + Uid(self);
}

// Empty when `info`, of the directory or file at `where`, may lead to or
// be a library; else what is wrong there and what to do, naming `path`.
std::string TrustProblem(const std::string& path, const std::string& where, const struct stat& info)
{
    const bool directory = S_ISDIR(info.st_mode);
    const std::string what = (directory ? "the directory " : "the file ") + where;
    const std::string owned = Uid(info.st_uid) + ", mode " + Octal(info.st_mode);
    const std::string lead = path + " could be changed by others: " + what;
    if (info.st_uid != 0 && info.st_uid != geteuid())
        return lead + " belongs to " + owned + ", not to " + Owners() +
               "; install the library where only " + Owners() +
               " can change it, such as /usr/local/lib";
    // In a sticky directory, only an entry's owner (checked at the next
    // step) may rename or remove it.
    const bool sticky = directory && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)
        return lead + " (" + owned + ") is writable by its group or others; chmod go-w " + where +
               ", or install the library where only " + Owners() + " can change it";
    return std::string();
}

// Empty when `fd`, opened for `where` on the way to `path`, is a
// directory, or for `path` itself a regular file, that may be trusted;
// else why not.
std::string Examine(const BFd& fd, const std::string& path, const std::string& where,
                    bool directory)
{
    struct stat info;
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
        return CannotRead(path);
    if (!directory && !S_ISREG(info.st_mode))
        return path + " is not a regular file (" + KindOf(info.st_mode) + ")";
    // A directory opened with O_DIRECTORY is one: the type needs no check.
    return TrustProblem(path, where, info);
}

// Opens `real`, an absolute path without symbolic links, one step at a
// time from /, each directory examined before the next step is taken from
// it; a step that has become a symbolic link since is refused (O_NOFOLLOW).
BFd OpenStepByStep(const std::string& path, const std::string& real, std::string& why)
{
    const int kDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // The process's root, which "/" names, but through /proc: the emulator
    // that runs the PowerPC build (qemu-user -L) takes "/" itself for the
    // target's system root, though it leaves the steps below alone.
    BFd directory(::open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC));
    why = Examine(directory, path, "/", true);
    std::string::size_type start = 1;
    std::string::size_type slash = real.find('/', start);
    for (; why.empty() && slash != std::string::npos; slash = real.find('/', start)) {
        const std::string name = real.substr(start, slash - start);
        BFd next(::openat(directory.Get(), name.c_str(), kDirectory));
        why = Examine(next, path, real.substr(0, slash), true);
        directory = std::move(next);
        start = slash + 1;
    }
    if (!why.empty())
        return BFd();
    // "/" itself has no last step: it is opened again, and refused as a
    // directory.
    const std::string last = start < real.size() ? real.substr(start) : ".";
    BFd file(::openat(directory.Get(), last.c_str(),
                      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    why = Examine(file, path, real, false);
    return why.empty() ? std::move(file) : BFd();
}

} // namespace

BFd OpenExtFile(const std::string& path, std::string& why)
{
    if (path.find('/') == std::string::npos) {
        why = path + " is not a path: give the library's full path (the library search path "
                     "is not examined, so a bare name is never loaded)";
        return BFd();
    }
    char* szReal = ::realpath(path.c_str(), nullptr);
    if (szReal == nullptr) {
        why = CannotRead(path);
        return BFd();
    }
    const std::string real = szReal;
    std::free(szReal);
    return OpenStepByStep(path, real, why);
}
