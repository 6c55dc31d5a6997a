// The store's file on disk: read whole, and replaced whole without ever
// leaving it half written, following what a stranger placed beside it, or
// unlocking it.
#ifndef HOST_KAF_CONFIGFILE_H
#define HOST_KAF_CONFIGFILE_H

#include <string>

#include <sys/stat.h>

#include "host/protocol/BFd.h"

namespace KAF {

// What the store's file held when the store last read or wrote it.
struct TFileImage {
    std::string path; // the store's name for the file
    bool exists = false;
    std::string text;
};

// The same file: device and inode.
bool SameFile(const struct stat& a, const struct stat& b);

// Reads the regular file at `path` (through a symbolic link) into `text`
// and leaves it open in `fd` for TakeOverLock. False, with `error` set and
// no descriptor open, when it cannot.
bool ReadConfigFile(const std::string& path, std::string& text, BFd& fd, std::string& error);

// Where `lock` holds the store's lock (it holds nothing when the store
// holds none), moves it to the open file `fd` unless that is the locked
// file already; whichever descriptor is no longer needed is closed. False,
// with `error` naming the holder and the lock unmoved, when another holds
// the file in `fd`.
bool TakeOverLock(BFd fd, BFd& lock, const std::string& path, std::string& error);

// Replaces the file named `path` with `text`. A symbolic link stays and
// its final target is replaced, in the target's directory: through a
// temporary file created there under an unpredictable name (never
// following anything that stands there), given the original's mode,
// owner and group (a new file gets 0644 less the umask), synced, locked
// when the store holds a lock, renamed over the original, and the
// directory synced; the store's lock then moves to the new file, so the
// live file is never unlocked. Refuses, changing nothing, when the file is
// not a regular file, when another process holds its lock, or when it no
// longer holds what `synced` says (`synced` naming another path counts as
// a file that did not exist). On every failure no temporary file is left.
bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       BFd& lock, std::string& error);

} // namespace KAF

#endif
