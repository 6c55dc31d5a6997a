// The lock that keeps one murox per configuration: a file of the host's
// own, in a directory that only its user (or root) can write, so that
// nothing a reader of the configuration can do takes it or holds it.
#ifndef HOST_KAF_CONFIGLOCK_H
#define HOST_KAF_CONFIGLOCK_H

#include <string>

#include <sys/stat.h>

#include "host/protocol/BFd.h"
#include "hostapi/KafApi.h"

namespace KAF {

// Opens the directory `dir` (an absolute path), making it when it is
// missing with `mode` (less the umask), and before it each missing
// directory on its way (0700), one at a time with mkdirat from the
// descriptor of the one before; neither a directory made nor `dir` itself
// is reached through a symbolic link. False, with `error` set (`what`
// names the directory in it, "the lock directory"), when it is not a
// directory that belongs to root or to the effective user and that no one
// else may write, as fstat on its descriptor says, or cannot be made.
KAF_API bool OpenOwnDirectory(const std::string& dir, mode_t mode, const std::string& what, BFd& fd,
                              std::string& error);

// Opens the directory `dir` for locks, as OpenOwnDirectory does, making it
// 0750 when it is missing.
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
