#include "host/registry/ExtFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/protocol/BFd.h"

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

std::string NotRegular(const std::string& path, mode_t mode)
{
    return path + " is not a regular file (" + KindOf(mode) + ")";
}

} // namespace

bool IsExtFilePath(const std::string& path)
{
    return path.find('/') != std::string::npos;
}

std::string ExtFileTypeProblem(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return std::string();
    return NotRegular(path, info.st_mode);
}

std::string ExtFileProblem(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return "cannot read " + path + ": " + std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return NotRegular(path, info.st_mode);
    // Regular, so opening it has no effect of its own; O_NONBLOCK still
    // guards against the file having turned into a FIFO since.
    const BFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid())
        return "cannot read " + path + ": " + std::strerror(errno);
    return std::string();
}
