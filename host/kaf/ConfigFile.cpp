#include "host/kaf/ConfigFile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/kaf/FileReplacement.h"
#include "host/kaf/LockHolder.h"

namespace KAF {

namespace {

// Far beyond any configuration; a bound on what one read may allocate.
const off_t kMaxConfigBytes = 64 << 20;
const char kChanged[] = "the file changed on disk since it was last read; run \"xdll -r\" first";

std::string Reason()
{
    return std::strerror(errno);
}

// True when what stands at the name (open in `fd`, or absent for -1) is
// not what the store last read or wrote there.
bool ChangedOnDisk(int fd, const struct stat& current, const std::string& path,
                   const TFileImage& synced, std::string& error)
{
    const bool expected = synced.exists && synced.path == path;
    if ((fd >= 0) != expected)
        return true;
    if (fd < 0)
        return false;
    // The size decides most edits without reading; equal sizes are read,
    // since timestamps are too coarse to tell an edit made in the same tick.
    if (current.st_size != static_cast<off_t>(synced.text.size()))
        return true;
    std::string text;
    if (!ReadAll(fd, current.st_size, text)) {
        if (errno != EFBIG) // else it grew while it was read
            error = Reason();
        return true;
    }
    return text != synced.text;
}

// The file a rewrite replaces: its directory, its name there, and what
// stands at the name (nothing open in `original` when nothing does).
struct TTarget {
    BFd directory;
    std::string name;
    BFd original;
    struct stat current {};
};

// Opens the directory of the file `path` finally names, and the file when
// one stands there. The rename would replace whatever stands at the name:
// a device such as /dev/null, a pipe or a link must never give way to a
// configuration.
bool OpenTarget(const std::string& path, const std::string& prefix, TTarget& target,
                std::string& error)
{
    std::string dir;
    if (!ResolveTarget(path, dir, target.name, error)) {
        error = prefix + error;
        return false;
    }
    target.directory.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target.directory.Valid()) {
        error = prefix + Reason();
        return false;
    }
    const int dirFd = target.directory.Get();
    if (::fstatat(dirFd, target.name.c_str(), &target.current, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        error = prefix + Reason();
        return false;
    }
    if (!S_ISREG(target.current.st_mode)) {
        error = prefix + "not a regular file";
        return false;
    }
    target.original.Reset(::openat(dirFd, target.name.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened;
    if (!target.original.Valid() || ::fstat(target.original.Get(), &opened) != 0) {
        error = prefix + (errno == ELOOP ? "not a regular file" : Reason());
        return false;
    }
    // Something else may have taken the name since it was looked at.
    if (!SameFile(opened, target.current)) {
        error = prefix + kChanged;
        return false;
    }
    return true;
}

// Whoever else holds the live file keeps it; the store's own lock on it
// moves to the new file once that is in place.
bool LockOriginal(const TTarget& target, const BFd& lock, const std::string& path,
                  const std::string& prefix, std::string& error)
{
    if (!target.original.Valid())
        return true;
    struct stat locked;
    const bool ownLock =
        lock.Valid() && ::fstat(lock.Get(), &locked) == 0 && SameFile(locked, target.current);
    if (!ownLock && ::flock(target.original.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? DescribeLockHolder(path, target.current) : prefix + Reason();
        return false;
    }
    return true;
}

// Writes `text` to a new file beside the target, with the original's owner
// and mode, synced and locked when the store holds a lock, and renames it
// over the target; the store's lock then moves to it.
bool ReplaceTarget(const TTarget& target, const std::string& text, BFd& lock,
                   const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    const bool replacing = target.original.Valid();
    std::string name;
    BFd temporary(CreateTemporary(dirFd, target.name, replacing ? 0600 : 0644, name));
    if (!temporary.Valid()) {
        error = prefix + Reason();
        return false;
    }
    BTemporaryName created(dirFd, name);
    if (replacing && !KeepOwnerAndMode(temporary.Get(), target.current)) {
        error = prefix + "cannot give the new file the old one's owner and mode: " + Reason();
        return false;
    }
    if (!WriteAll(temporary.Get(), text) || ::fsync(temporary.Get()) != 0 ||
        (lock.Valid() && ::flock(temporary.Get(), LOCK_EX | LOCK_NB) != 0) ||
        ::renameat(dirFd, name.c_str(), dirFd, target.name.c_str()) != 0) {
        error = prefix + Reason();
        return false;
    }
    created.Keep();
    if (lock.Valid())
        lock = std::move(temporary);
    return true;
}

} // namespace

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ReadConfigFile(const std::string& path, std::string& text, BFd& fd, std::string& error)
{
    const std::string prefix = "cannot read '" + path + "': ";
    // Non-blocking: a FIFO at the name must not stall the reader.
    BFd file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (file.Get() < 0 || ::fstat(file.Get(), &st) != 0) {
        error = prefix + Reason();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = prefix + "not a regular file";
        return false;
    }
    if (!ReadAll(file.Get(), kMaxConfigBytes, text)) {
        error = prefix + Reason();
        return false;
    }
    fd = std::move(file);
    return true;
}

bool TakeOverLock(BFd fd, BFd& lock, const std::string& path, std::string& error)
{
    if (!lock.Valid())
        return true;
    struct stat opened, locked;
    if (::fstat(fd.Get(), &opened) != 0 || ::fstat(lock.Get(), &locked) != 0) {
        error = "cannot lock '" + path + "': " + Reason();
        return false;
    }
    if (SameFile(opened, locked))
        return true;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? DescribeLockHolder(path, opened)
                                     : "cannot lock '" + path + "': " + Reason();
        return false;
    }
    lock = std::move(fd);
    return true;
}

bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       BFd& lock, std::string& error)
{
    const std::string prefix = "cannot write '" + path + "': ";
    TTarget target;
    if (!OpenTarget(path, prefix, target, error))
        return false;
    std::string why = kChanged;
    if (ChangedOnDisk(target.original.Get(), target.current, path, synced, why)) {
        error = prefix + why;
        return false;
    }
    if (!LockOriginal(target, lock, path, prefix, error) ||
        !ReplaceTarget(target, text, lock, prefix, error))
        return false;
    if (::fsync(target.directory.Get()) != 0) {
        error =
            prefix + "replaced, but its directory not synced (" + Reason() + "); run \"xdll -r\"";
        return false;
    }
    return true;
}

} // namespace KAF
