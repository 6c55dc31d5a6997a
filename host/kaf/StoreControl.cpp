#include "host/kaf/StoreControl.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/kaf/FileNVContents.h"
#include "host/kaf/LockHolder.h"

namespace KAF {

namespace {
// A commit replaces the file by rename; a few tries outlast any such race.
const int kLockAttempts = 8;
} // namespace

bool LockConfig(const std::string& path, BFileNV& store, std::string& holderMessage)
{
    int& lockFd = BFileNV::TContents::Of(store).lockFd;
    const std::string prefix = "cannot lock '" + path + "': ";
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        struct stat opened, held, named;
        if (fd < 0 || ::fstat(fd, &opened) != 0) {
            holderMessage = prefix + std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        if (!S_ISREG(opened.st_mode)) {
            holderMessage = prefix + "not a regular file";
            ::close(fd);
            return false;
        }
        if (lockFd >= 0 && ::fstat(lockFd, &held) == 0 && SameFile(held, opened)) {
            ::close(fd);
            return true;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            holderMessage = errno == EWOULDBLOCK ? DescribeLockHolder(path, opened)
                                                 : prefix + std::strerror(errno);
            ::close(fd);
            return false;
        }
        // The lock counts only on the file that the name still leads to: a
        // commit may have put another in its place since the open.
        if (::stat(path.c_str(), &named) == 0 && SameFile(named, opened)) {
            if (lockFd >= 0)
                ::close(lockFd);
            lockFd = fd;
            return true;
        }
        ::close(fd);
    }
    holderMessage = prefix + "it is replaced again and again";
    return false;
}

void RevertToLastSynced(BFileNV& store)
{
    BFileNV::TContents& contents = BFileNV::TContents::Of(store);
    BConfigDocument document;
    std::string error;
    // The text was read or written by the store: it parses.
    if (contents.synced.exists)
        document.Parse(contents.synced.text, error);
    contents.document = std::move(document);
    BFileNV::TContents::LastErrorOf(store).Release();
}

} // namespace KAF
