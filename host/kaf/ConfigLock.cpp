#include "host/kaf/ConfigLock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace KAF {

namespace {

std::string Reason()
{
    return std::strerror(errno);
}

// FNV-1a: the name of a configuration may be longer than a lock file's
// may; two names of one directory colliding would only refuse a start.
std::uint64_t NameHash(const std::string& name)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// The descriptor of directory `dir`, its last component not followed;
// when it is missing, it is made with `mode` in its parent, opened (or
// made, 0700) the same way, and opened from the parent's descriptor. -1
// with errno set when it cannot be; `failed` then names the directory that
// could not be made, if that was the step that failed. The depth bounds
// the walk for a path of many missing components.
int OpenMaking(const std::string& dir, mode_t mode, std::string& failed, int depth = 64)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int fd = ::open(dir.c_str(), flags);
    const std::string::size_type slash = dir.find_last_of('/');
    if (fd >= 0 || errno != ENOENT || depth == 0 || slash == std::string::npos ||
        slash + 1 == dir.size())
        return fd;
    const std::string name = dir.substr(slash + 1);
    const BFd parent(OpenMaking(slash == 0 ? "/" : dir.substr(0, slash), 0700, failed, depth - 1));
    if (!parent.Valid())
        return -1;
    if (::mkdirat(parent.Get(), name.c_str(), mode) != 0 && errno != EEXIST) {
        failed = dir;
        return -1;
    }
    return ::openat(parent.Get(), name.c_str(), flags);
}

} // namespace

bool OpenOwnDirectory(const std::string& dir, mode_t mode, const std::string& what, BFd& fd,
                      std::string& error)
{
    const std::string named = what + " " + dir;
    std::string failed;
    fd.Reset(OpenMaking(dir, mode, failed));
    struct stat found;
    if (!fd.Valid() || ::fstat(fd.Get(), &found) != 0) {
        const std::string reason =
            errno == ELOOP || errno == ENOTDIR ? std::string("not a directory") : Reason();
        error = failed.empty() ? "cannot open " + named + ": " + reason
                               : "cannot create " + named + ": " +
                                     (failed == dir ? reason : failed + ": " + reason);
        fd.Reset();
        return false;
    }
    if (found.st_uid != 0 && found.st_uid != ::geteuid()) {
        error = named + " belongs to uid " + std::to_string(found.st_uid) + ", not to this user";
        fd.Reset();
        return false;
    }
    if ((found.st_mode & 022) != 0) {
        char shown[8];
        std::snprintf(shown, sizeof shown, "%04o", static_cast<unsigned>(found.st_mode & 07777));
        error = named + " may be written by others (mode " + shown + ")";
        fd.Reset();
        return false;
    }
    return true;
}

bool OpenLockDirectory(const std::string& dir, BFd& fd, std::string& error)
{
    return OpenOwnDirectory(dir, 0750, "the lock directory", fd, error);
}

std::string LockFileName(const struct stat& directory, const std::string& base)
{
    char name[80];
    std::snprintf(name, sizeof name, "config-%llx-%llx-%016llx.lock",
                  static_cast<unsigned long long>(directory.st_dev),
                  static_cast<unsigned long long>(directory.st_ino),
                  static_cast<unsigned long long>(NameHash(base)));
    return name;
}

bool OpenLockFile(int dirFd, const std::string& name, BFd& fd, std::string& error)
{
    fd.Reset(::openat(dirFd, name.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat found;
    if (!fd.Valid() || ::fstat(fd.Get(), &found) != 0) {
        error = "cannot open the lock file " + name + ": " + Reason();
        fd.Reset();
        return false;
    }
    if (!S_ISREG(found.st_mode) || found.st_uid != ::geteuid()) {
        error = "the lock file " + name + " is not a regular file of this user's";
        fd.Reset();
        return false;
    }
    return true;
}

} // namespace KAF
