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

// Whether the directory open in `fd` is fit, as found (`made`: as made).
std::string Checked(int fd, bool made, gid_t group, const std::string& path,
                    const std::string& named, const char* szElsewhere)
{
    struct stat found {};
    if (::fstat(fd, &found) != 0)
        return Reason("cannot examine " + named);
    if (found.st_uid != 0 && found.st_uid != ::geteuid())
        return named + " belongs to uid " + std::to_string(found.st_uid) +
               ", not to root or the daemon's user: remove it" + szElsewhere;
    if (made) {
        if (::fchown(fd, static_cast<uid_t>(-1), group) != 0)
            return Reason("cannot give " + named + " group " + std::to_string(group));
        if (::fchmod(fd, 0750) != 0)
            return Reason("cannot give " + named + " mode 0750");
    } else if ((found.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return named + " is writable by others (mode " + Octal(found.st_mode) + "): chmod go-w " +
               path + szElsewhere;
    }
    return std::string();
}

} // namespace

std::string OpenOwnDirectory(const std::string& path, gid_t group, const std::string& named,
                             const char* szElsewhere, BFd& fd)
{
    fd.Reset();
    const mode_t umaskBefore = ::umask(077);
    const bool made = ::mkdir(path.c_str(), 0700) == 0;
    const int reason = errno;
    ::umask(umaskBefore);
    if (!made && reason != EEXIST) {
        errno = reason;
        return Reason("cannot create " + named);
    }
    BFd opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!opened.Valid())
        return NotOpened(path, named, szElsewhere);
    std::string problem = Checked(opened.Get(), made, group, path, named, szElsewhere);
    if (problem.empty())
        fd = std::move(opened);
    return problem;
}

} // namespace control
