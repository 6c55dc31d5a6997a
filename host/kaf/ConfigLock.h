// The lock that keeps one murox per configuration: a file of the host's
// own, in a directory that only its user (or root) can write, so that
// nothing a reader of the configuration can do takes it or holds it.
#ifndef HOST_KAF_CONFIGLOCK_H
#define HOST_KAF_CONFIGLOCK_H

#include <string>

#include <sys/stat.h>

#include "host/protocol/BFd.h"

namespace KAF {

// Opens the directory `dir` for locks, making it (0750, less the umask)
// when it is missing. False, with `error` set, when it is not a directory
// that belongs to root or to the effective user and that no one else may
// write, or when it is reached through a symbolic link.
bool OpenLockDirectory(const std::string& dir, BFd& fd, std::string& error);

// The lock file's name for the configuration named `base` in the directory
// `directory` describes. It is keyed to the directory's device and inode
// and to the name, which a rewrite or a file put in place by hand keeps:
// the lock never has to move to another file.
std::string LockFileName(const struct stat& directory, const std::string& base);

// Opens for reading and writing (the holder records itself in it),
// creating it 0600 when missing, the lock file `name` in `dirFd`.
// False, with `error` set, for anything but a regular file of the
// effective user's.
bool OpenLockFile(int dirFd, const std::string& name, BFd& fd, std::string& error);

} // namespace KAF

#endif
