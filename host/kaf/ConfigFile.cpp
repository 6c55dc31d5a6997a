#include "host/kaf/ConfigFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "host/kaf/FileReplacement.h"

namespace KAF {

namespace {

// Far beyond any configuration; a bound on what one read may allocate.
const off_t kMaxConfigBytes = 64 << 20;
const char kChanged[] = "the file changed on disk since it was last read; run \"xdll -r\" first";
// How many times what a writer keeps adding to an undone rewrite's new
// file is followed before the new file is kept instead.
const int kCarryRounds = 8;

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
    std::string path; // as the store names it
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
    target.path = path;
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

// True when the file open in `fd` no longer holds `expected`. It is read
// from its start, whatever was read of it before.
bool ContentsChanged(int fd, const std::string& expected)
{
    struct stat st;
    std::string text;
    return ::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(expected.size()) ||
           ::lseek(fd, 0, SEEK_SET) != 0 || !ReadAll(fd, kMaxConfigBytes, text) || text != expected;
}

// The new file, beside the target until it takes its place.
struct TNewFile {
    const std::string& text; // what the rewrite wrote to it
    BFd fd;                  // open for reading and writing
    std::string name;        // in the target's directory
};

// Appends to the file open in `to` (or open nowhere: -1) what the file open
// in `from` holds beyond `base`: what writers appended to it. One still
// writing as this copies is followed for a few rounds. False when `from`
// no longer starts with `base` (an edit, not an addition), or what it
// gained cannot be added.
bool CarryOver(int from, const std::string& base, int to)
{
    std::string now;
    std::size_t carried = base.size();
    for (int round = 0; round < kCarryRounds; ++round) {
        if (::lseek(from, 0, SEEK_SET) != 0 || !ReadAll(from, kMaxConfigBytes, now) ||
            now.size() < carried || now.compare(0, base.size(), base) != 0)
            return false;
        if (now.size() == carried)
            return carried == base.size() || ::fsync(to) == 0;
        if (to < 0 || !WriteAll(to, now.substr(carried)))
            return false;
        carried = now.size();
    }
    return false;
}

// The regular file `name` in `dirFd`, opened for appending, if it is the
// file `expected` describes; else -1.
int OpenToAppend(int dirFd, const std::string& name, const struct stat& expected)
{
    BFd fd(::openat(dirFd, name.c_str(),
                    O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !SameFile(st, expected))
        return -1;
    return fd.Release();
}

// The new file stands at the name, the old one at the new file's name, and
// an edit reached the old file after it was read: it is put back, by
// exchanging again, with what writers appended to the new file meanwhile
// (they opened the name while it stood there), and the rewrite refused.
bool PutBack(const TTarget& target, const TNewFile& made, BTemporaryName& created,
             const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    const char* szMade = made.name.c_str();
    struct stat standing, ours, old;
    // What goes back is opened before it does, to take what is carried over.
    const BFd restored(::fstatat(dirFd, szMade, &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISREG(old.st_mode)
                           ? OpenToAppend(dirFd, made.name, old)
                           : -1);
    const bool ownInPlace =
        ::fstat(made.fd.Get(), &ours) == 0 &&
        ::fstatat(dirFd, target.name.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(standing, ours);
    if (!ownInPlace ||
        ::renameat2(dirFd, szMade, dirFd, target.name.c_str(), RENAME_EXCHANGE) != 0) {
        created.Keep();
        error = prefix + "the file changed on disk while it was rewritten, and what was there " +
                "could not be put back (" + (ownInPlace ? Reason() : "replaced again") +
                "): it is in " + made.name;
        return false;
    }
    if (!CarryOver(made.fd.Get(), made.text, restored.Get())) {
        created.Keep();
        error = prefix + "the file changed on disk while it was rewritten, and what was added " +
                "to the new file meanwhile could not be carried over: it is in " + made.name;
        return false;
    }
    error = prefix + kChanged;
    return false;
}

// The new file stands at the name and the old one at the new file's name,
// with the directory synced: an edit that reached the old file meanwhile,
// from a writer that opened it before the exchange, follows to the new file
// when it was appended, and puts the old file back when it was not. Then
// the old file goes with the temporary name.
bool TakeLateEdits(const TTarget& target, const TFileImage& synced, const TNewFile& made,
                   BTemporaryName& created, const std::string& prefix, std::string& error)
{
    struct stat ours;
    const BFd standing(::fstat(made.fd.Get(), &ours) == 0
                           ? OpenToAppend(target.directory.Get(), target.name, ours)
                           : -1);
    return CarryOver(target.original.Get(), synced.text, standing.Get()) ||
           PutBack(target, made, created, prefix, error);
}

// Puts the complete new file in the target's place: exchanged with the old
// file, which is compared with what the rewrite is based on then and once
// more after the directory is synced, or, for a new file, only where
// nothing stands yet. A file system that cannot exchange gets a plain
// rename: the checks made before are then the only ones.
bool PutInPlace(const TTarget& target, const TFileImage& synced, const TNewFile& made,
                BTemporaryName& created, const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    const char* szFrom = made.name.c_str();
    const char* szTo = target.name.c_str();
    const bool exchange = target.original.Valid();
    if (::renameat2(dirFd, szFrom, dirFd, szTo, exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE) !=
        0) {
        if (errno == EEXIST) {
            error = prefix + kChanged;
            return false;
        }
        if ((errno != EINVAL && errno != ENOSYS) || ::renameat(dirFd, szFrom, dirFd, szTo) != 0) {
            error = prefix + Reason();
            return false;
        }
        created.Keep();
    } else if (!exchange) {
        created.Keep();
    } else {
        struct stat out;
        if (::fstatat(dirFd, szFrom, &out, AT_SYMLINK_NOFOLLOW) != 0 ||
            !SameFile(out, target.current) || ContentsChanged(target.original.Get(), synced.text))
            return PutBack(target, made, created, prefix, error);
    }
    if (::fsync(dirFd) != 0) {
        error =
            prefix + "replaced, but its directory not synced (" + Reason() + "); run \"xdll -r\"";
        return false;
    }
    return !exchange || TakeLateEdits(target, synced, made, created, prefix, error);
}

// Shows the new file to `pWatcher`, puts it in place, and tells the
// watcher which file stands at the name then. The old file is compared
// once more first: an edit found now costs nothing to keep, while one
// found after the exchange has to be exchanged back.
bool Install(const TTarget& target, const TFileImage& synced, const TNewFile& made,
             BTemporaryName& created, IReplacementWatcher* pWatcher, const std::string& prefix,
             std::string& error)
{
    if (target.original.Valid() && ContentsChanged(target.original.Get(), synced.text)) {
        error = prefix + kChanged;
        return false;
    }
    struct stat file;
    std::string why;
    if (::fstat(made.fd.Get(), &file) != 0) {
        error = prefix + Reason();
        return false;
    }
    if (pWatcher != nullptr && !pWatcher->Replacing(target.path, file, why)) {
        error = prefix + why;
        return false;
    }
    const bool done = PutInPlace(target, synced, made, created, prefix, error);
    struct stat standing;
    if (pWatcher != nullptr)
        pWatcher->Replaced(::fstatat(target.directory.Get(), target.name.c_str(), &standing,
                                     AT_SYMLINK_NOFOLLOW) == 0 &&
                           SameFile(standing, file));
    return done;
}

// Writes `text` to a new file beside the target, readable by no one else
// until it is complete, then given the original's owner and mode, synced,
// and put in the target's place.
bool ReplaceTarget(const TTarget& target, const TFileImage& synced, const std::string& text,
                   IReplacementWatcher* pWatcher, const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    const bool replacing = target.original.Valid();
    TNewFile made{text, BFd(), std::string()};
    made.fd.Reset(CreateTemporary(dirFd, target.name, replacing ? 0600 : 0644, made.name));
    if (!made.fd.Valid()) {
        error = prefix + Reason();
        return false;
    }
    BTemporaryName created(dirFd, made.name);
    if (!WriteAll(made.fd.Get(), text)) {
        error = prefix + Reason();
        return false;
    }
    if (replacing && !KeepOwnerAndMode(made.fd.Get(), target.current)) {
        error = prefix + "cannot give the new file the old one's owner and mode: " + Reason();
        return false;
    }
    if (::fsync(made.fd.Get()) != 0) {
        error = prefix + Reason();
        return false;
    }
    return Install(target, synced, made, created, pWatcher, prefix, error);
}

} // namespace

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ReadConfigFile(const std::string& path, std::string& text, std::string& error,
                    struct stat* pFile)
{
    const std::string prefix = "cannot read '" + path + "': ";
    // Non-blocking: a FIFO at the name must not stall the reader.
    const BFd file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
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
    if (pFile != nullptr)
        *pFile = st;
    return true;
}

bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       std::string& error, IReplacementWatcher* pWatcher)
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
    return ReplaceTarget(target, synced, text, pWatcher, prefix, error);
}

} // namespace KAF
