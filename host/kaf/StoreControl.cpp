#include "host/kaf/StoreControl.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "host/kaf/FileNVContents.h"
#include "host/kaf/FileReplacement.h"

namespace KAF {

namespace {

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
    if (S_ISREG(st.st_mode))
        return OpenTargetDirectory(path, dirFd, base, error);
    error = "not a regular file";
    return false;
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

bool LockConfig(const TLockPlace& place, const std::string& path, BFileNV& store,
                std::string& holderMessage)
{
    BConfigLocks& locks = BFileNV::TContents::Of(store).locks;
    const std::string prefix = "cannot lock '" + path + "': ";
    struct stat file;
    std::string error;
    if (::stat(path.c_str(), &file) != 0) {
        holderMessage = prefix + Reason();
        return false;
    }
    if (!S_ISREG(file.st_mode)) {
        holderMessage = prefix + "not a regular file";
        return false;
    }
    if (locks.Placed())
        return locks.Follow(path, file, holderMessage);
    // A store that takes no lock follows none when it reads again.
    BConfigLocks fresh;
    if (!fresh.Place(place, error)) {
        holderMessage = prefix + error;
        return false;
    }
    if (!fresh.Follow(path, file, holderMessage))
        return false;
    locks = std::move(fresh);
    return true;
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
