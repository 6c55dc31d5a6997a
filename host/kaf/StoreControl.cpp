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
    BFd& lock = BFileNV::TContents::Of(store).lock;
    const std::string prefix = "cannot lock '" + path + "': ";
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        BFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        struct stat opened, held, named;
        if (!fd.Valid() || ::fstat(fd.Get(), &opened) != 0) {
            holderMessage = prefix + std::strerror(errno);
            return false;
        }
        if (!S_ISREG(opened.st_mode)) {
            holderMessage = prefix + "not a regular file";
            return false;
        }
        if (lock.Valid() && ::fstat(lock.Get(), &held) == 0 && SameFile(held, opened))
            return true;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            holderMessage = errno == EWOULDBLOCK ? DescribeLockHolder(path, opened)
                                                 : prefix + std::strerror(errno);
            return false;
        }
        // The lock counts only on the file that the name still leads to: a
        // commit may have put another in its place since the open.
        if (::stat(path.c_str(), &named) == 0 && SameFile(named, opened)) {
            lock = std::move(fd);
            return true;
        }
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
