#include "host/console/HistoryFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether the directory at `dirFd` is the user's own; says why not.
bool OwnDirectory(int dirFd, std::string& problem)
{
    struct stat status {};
    if (fstat(dirFd, &status) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (status.st_uid != geteuid())
        problem =
            "its directory belongs to uid " + std::to_string(status.st_uid) + ", not to this user";
    else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = "others may write its directory";
    return problem.empty();
}

// Whether the file at `fd` may hold the user's history; says why not.
bool OwnFile(int fd, std::string& problem)
{
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode))
        problem = "it is not a regular file";
    else if (status.st_uid != geteuid())
        problem = "it belongs to uid " + std::to_string(status.st_uid) + ", not to this user";
    else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = "others may write it";
    return problem.empty();
}

// Opens `path` with `flags` under the rule of OpenHistoryFile; creates it
// when `create`, else nothing there is no file and no problem.
BFd OpenOwnFile(const std::string& path, int flags, bool create, std::string& problem)
{
    problem.clear();
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const BFd dirFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.Valid()) {
        problem = std::strerror(errno);
        return BFd();
    }
    if (!OwnDirectory(dirFd.Get(), problem))
        return BFd();
    // Neither a FIFO nor a leased file makes the open wait; a symbolic link
    // is not opened at all.
    flags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    BFd fd(openat(dirFd.Get(), name.c_str(), flags));
    if (!fd.Valid() && errno == ENOENT) {
        if (!create)
            return BFd();
        fd.Reset(openat(dirFd.Get(), name.c_str(), flags | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR));
    }
    if (!fd.Valid()) {
        problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return BFd();
    }
    if (!OwnFile(fd.Get(), problem))
        return BFd();
    return fd;
}

} // namespace

BFd OpenHistoryFile(const std::string& path, std::string& problem)
{
    return OpenOwnFile(path, O_RDWR, true, problem);
}

BFd OpenKeyBindings(const std::string& path, std::string& problem)
{
    return OpenOwnFile(path, O_RDONLY, false, problem);
}
