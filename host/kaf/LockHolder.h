// Who holds the lock on a configuration file, in words for the operator.
#ifndef HOST_KAF_LOCKHOLDER_H
#define HOST_KAF_LOCKHOLDER_H

#include <string>

namespace KAF {

// "PATH is in use by murox pid N (a daemon serving SOCKET): use murox
// --remote", from the kernel's table of locks (/proc/locks) and the
// holder's command line; less where less is known. `lockFd` is the lock
// file, open, `path` the configuration it stands for.
std::string DescribeLockHolder(const std::string& path, int lockFd);

// The pid that holds an flock on the open file `lockFd`, as the kernel's
// table of locks (/proc/locks) says; 0 when none is visible.
long LockHolderPid(int lockFd);

// Records, in the lock file the caller has just locked (open for writing),
// its pid and command line, for a process that cannot see it in /proc.
// False when it cannot: the holder then goes unnamed where /proc hides it
// (a reader takes a record only under the holder's pid).
bool RecordLockHolder(int lockFd);

} // namespace KAF

#endif
