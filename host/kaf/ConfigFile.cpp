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

// True when the file open in `fd` no longer holds `expected`. It is read
// from its start, whatever was read of it before.
bool ContentsChanged(int fd, const std::string& expected)
{
    struct stat st;
    std::string text;
    return ::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(expected.size()) ||
           ::lseek(fd, 0, SEEK_SET) != 0 || !ReadAll(fd, kMaxConfigBytes, text) || text != expected;
}

// The new file stands at the name and the old one at `temporary`: an edit
// that reached the old file after it was read is put back, by exchanging
// again, and the rewrite refused.
bool KeepEdits(const TTarget& target, const TFileImage& synced, BTemporaryName& created,
               const std::string& temporary, const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    struct stat out;
    if (::fstatat(dirFd, temporary.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(out, target.current) && !ContentsChanged(target.original.Get(), synced.text))
        return true; // the old file goes with the temporary name
    if (::renameat2(dirFd, temporary.c_str(), dirFd, target.name.c_str(), RENAME_EXCHANGE) != 0) {
        created.Keep();
        error = prefix + "the file changed on disk while it was rewritten, and what was there " +
                "could not be put back (" + Reason() + "): it is in " + temporary;
        return false;
    }
    error = prefix + kChanged;
    return false;
}

// Puts the complete temporary file in the target's place: exchanged with
// the old file, which is then compared with what the rewrite is based on,
// or, for a new file, only where nothing stands yet. A file system that
// cannot exchange gets a plain rename: the check made before writing is
// then the only one.
bool PutInPlace(const TTarget& target, const TFileImage& synced, BTemporaryName& created,
                const std::string& temporary, const std::string& prefix, std::string& error)
{
    const int dirFd = target.directory.Get();
    const char* szFrom = temporary.c_str();
    const char* szTo = target.name.c_str();
    const unsigned flags = target.original.Valid() ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(dirFd, szFrom, dirFd, szTo, flags) == 0) {
        if (flags == RENAME_NOREPLACE) {
            created.Keep();
            return true;
        }
        return KeepEdits(target, synced, created, temporary, prefix, error);
    }
    if (errno == EEXIST) {
        error = prefix + kChanged;
        return false;
    }
    if ((errno != EINVAL && errno != ENOSYS) || ::renameat(dirFd, szFrom, dirFd, szTo) != 0) {
        error = prefix + Reason();
        return false;
    }
    created.Keep();
    return true;
}

// Writes `text` to a new file beside the target, readable by no one else
// until it is complete, then given the original's owner and mode, synced,
// and put in the target's place.
bool ReplaceTarget(const TTarget& target, const TFileImage& synced, const std::string& text,
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
    if (!WriteAll(temporary.Get(), text)) {
        error = prefix + Reason();
        return false;
    }
    if (replacing && !KeepOwnerAndMode(temporary.Get(), target.current)) {
        error = prefix + "cannot give the new file the old one's owner and mode: " + Reason();
        return false;
    }
    if (::fsync(temporary.Get()) != 0) {
        error = prefix + Reason();
        return false;
    }
    return PutInPlace(target, synced, created, name, prefix, error);
}

} // namespace

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ReadConfigFile(const std::string& path, std::string& text, std::string& error)
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
    return true;
}

bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       std::string& error)
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
    if (!ReplaceTarget(target, synced, text, prefix, error))
        return false;
    if (::fsync(target.directory.Get()) != 0) {
        error =
            prefix + "replaced, but its directory not synced (" + Reason() + "); run \"xdll -r\"";
        return false;
    }
    return true;
}

} // namespace KAF
