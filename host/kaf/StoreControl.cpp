#include "host/kaf/StoreControl.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/kaf/ConfigLock.h"
#include "host/kaf/FileNVContents.h"
#include "host/kaf/FileReplacement.h"
#include "host/kaf/LockHolder.h"

namespace KAF {

namespace {

// Only root or this user can remove a lock file; a few tries outlast that.
const int kLockAttempts = 8;

std::string Reason()
{
    return std::strerror(errno);
}

// The directory of the configuration's final target, open, and its name
// there. The configuration itself must be a regular file.
bool OpenConfigDirectory(const std::string& path, BFd& dirFd, std::string& base, std::string& error)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        error = Reason();
        return false;
    }
    std::string dir;
    if (!S_ISREG(st.st_mode))
        error = "not a regular file";
    else if (ResolveTarget(path, dir, base, error)) {
        dirFd.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dirFd.Valid())
            return true;
        error = Reason();
    }
    return false;
}

bool SameLock(const BFd& held, int dirFd, const std::string& name)
{
    struct stat locked, named;
    return held.Valid() && ::fstat(held.Get(), &locked) == 0 &&
           ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(locked, named);
}

// The removal of RemoveLeftoverTemporaries, entry by entry of `pDir`, the
// directory open in `dirFd`.
int RemoveLeftovers(DIR* pDir, int dirFd, const std::string& base, std::string& error)
{
    int removed = 0;
    const uid_t self = ::geteuid();
    for (;;) {
        errno = 0; // readdir's end and its failure differ by errno alone
        const struct dirent* pEntry = ::readdir(pDir);
        if (pEntry == nullptr) {
            if (errno == 0)
                return removed;
            error = Reason();
            return -1;
        }
        struct stat st;
        const char* szName = pEntry->d_name;
        if (!IsTemporaryName(base, szName) ||
            ::fstatat(dirFd, szName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != self)
            continue;
        if (::unlinkat(dirFd, szName, 0) != 0) {
            error = "cannot remove " + std::string(szName) + ": " + Reason();
            return -1;
        }
        ++removed;
    }
}

} // namespace

bool LockConfig(const std::string& lockDir, const std::string& path, BFileNV& store,
                std::string& holderMessage)
{
    BFd& lock = BFileNV::TContents::Of(store).lock;
    const std::string prefix = "cannot lock '" + path + "': ";
    BFd configDir, locks;
    std::string base, error;
    struct stat directory;
    if (!OpenConfigDirectory(path, configDir, base, error) ||
        ::fstat(configDir.Get(), &directory) != 0 || !OpenLockDirectory(lockDir, locks, error)) {
        holderMessage = prefix + (error.empty() ? Reason() : error);
        return false;
    }
    const std::string name = LockFileName(directory, base);
    if (SameLock(lock, locks.Get(), name))
        return true;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        BFd fd;
        if (!OpenLockFile(locks.Get(), name, fd, error)) {
            holderMessage = prefix + error;
            return false;
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            holderMessage =
                errno == EWOULDBLOCK ? DescribeLockHolder(path, fd.Get()) : prefix + Reason();
            return false;
        }
        // The lock counts only on the file the name still leads to.
        if (SameLock(fd, locks.Get(), name)) {
            RecordLockHolder(fd.Get()); // only ever a help to name it
            lock = std::move(fd);
            return true;
        }
    }
    holderMessage = prefix + "its lock file is removed again and again";
    return false;
}

int RemoveLeftoverTemporaries(const std::string& path, std::string& error)
{
    BFd dirFd;
    std::string base;
    if (!OpenConfigDirectory(path, dirFd, base, error))
        return -1;
    DIR* pDir = ::fdopendir(::fcntl(dirFd.Get(), F_DUPFD_CLOEXEC, 0));
    if (pDir == nullptr) {
        error = Reason();
        return -1;
    }
    const int removed = RemoveLeftovers(pDir, dirFd.Get(), base, error);
    ::closedir(pDir);
    return removed;
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
