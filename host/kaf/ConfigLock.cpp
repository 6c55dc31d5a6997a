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

} // namespace

bool OpenLockDirectory(const std::string& dir, BFd& fd, std::string& error)
{
    const std::string named = "the lock directory " + dir;
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        error = "cannot create " + named + ": " + Reason();
        return false;
    }
    fd.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat found;
    if (!fd.Valid() || ::fstat(fd.Get(), &found) != 0) {
        error = "cannot open " + named + ": " +
                (errno == ELOOP || errno == ENOTDIR ? std::string("not a directory") : Reason());
        fd.Reset();
        return false;
    }
    if (found.st_uid != 0 && found.st_uid != ::geteuid()) {
        error = named + " belongs to uid " + std::to_string(found.st_uid) + ", not to this user";
        fd.Reset();
        return false;
    }
    if ((found.st_mode & 022) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(found.st_mode & 07777));
        error = named + " may be written by others (mode " + mode + ")";
        fd.Reset();
        return false;
    }
    return true;
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
