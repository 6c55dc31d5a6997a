#include "host/protocol/OwnDirectory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace control {

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string Octal(mode_t mode)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why `path` could not be opened as a directory; the link is told apart
// from anything else only for the message.
std::string NotOpened(const std::string& path, const std::string& named, const char* szElsewhere)
{
    if (errno != ENOTDIR && errno != ELOOP)
        return Reason("cannot open " + named);
    struct stat found {};
    const bool link = ::lstat(path.c_str(), &found) == 0 && S_ISLNK(found.st_mode);
    return named + (link ? " is a symbolic link" : " is not a directory") + ": remove it" +
           szElsewhere;
}

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The descriptor of directory `path`, its last component not followed;
// when it is missing, it is made private in its parent, itself opened (or
// made) the same way, and opened from the parent's descriptor, never by its
// path again. -1 with errno set when it cannot be; `failed` then names the
// directory that could not be made. `made` says whether `path` itself was.
// The depth bounds the walk for a path of many missing components.
int OpenMaking(const std::string& path, std::string& failed, bool& made, int depth = 64)
{
    made = false;
    const int fd = ::open(path.c_str(), kDirectoryFlags);
    const std::string::size_type slash = path.find_last_of('/');
    if (fd >= 0 || errno != ENOENT || depth == 0 || slash == std::string::npos ||
        slash + 1 == path.size())
        return fd;
    bool parentMade = false;
    const BFd parent(
        OpenMaking(slash == 0 ? "/" : path.substr(0, slash), failed, parentMade, depth - 1));
    if (!parent.Valid())
        return -1;
    const std::string name = path.substr(slash + 1);
    const mode_t umaskBefore = ::umask(077);
    made = ::mkdirat(parent.Get(), name.c_str(), 0700) == 0;
    const int reason = errno;
    ::umask(umaskBefore);
    if (!made && reason != EEXIST) {
        errno = reason;
        failed = path;
        return -1;
    }
    return ::openat(parent.Get(), name.c_str(), kDirectoryFlags);
}

// Whether the directory open in `fd` is fit, as found (`made`: as made).
std::string Checked(int fd, bool made, mode_t mode, gid_t group, const std::string& path,
                    const std::string& named, const char* szElsewhere)
{
    struct stat found {};
    if (::fstat(fd, &found) != 0)
        return Reason("cannot examine " + named);
    if (found.st_uid != 0 && found.st_uid != ::geteuid())
        return named + " belongs to uid " + std::to_string(found.st_uid) +
               ", not to root or the daemon's user: remove it" + szElsewhere;
    if (made) {
        if (group != static_cast<gid_t>(-1) && ::fchown(fd, static_cast<uid_t>(-1), group) != 0)
            return Reason("cannot give " + named + " group " + std::to_string(group));
        if (::fchmod(fd, mode) != 0)
            return Reason("cannot give " + named + " mode " + Octal(mode));
    } else if ((found.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return named + " is writable by others (mode " + Octal(found.st_mode) + "): chmod go-w " +
               path + szElsewhere;
    }
    return std::string();
}

} // namespace

std::string OpenOwnDirectory(const std::string& path, mode_t mode, gid_t group,
                             const std::string& named, const char* szElsewhere, BFd& fd)
{
    fd.Reset();
    std::string failed;
    bool made = false;
    BFd opened(OpenMaking(path, failed, made));
    if (!opened.Valid() && !failed.empty())
        return Reason("cannot create " + (failed == path ? named : named + ": " + failed));
    if (!opened.Valid())
        return NotOpened(path, named, szElsewhere);
    std::string problem = Checked(opened.Get(), made, mode, group, path, named, szElsewhere);
    if (problem.empty())
        fd = std::move(opened);
    return problem;
}

} // namespace control
