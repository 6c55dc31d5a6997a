// Where an extension library may come from. Whoever can change a library,
// or a directory on its way, can run code in the process that loads it, as
// root for the daemon; so a library is loaded only from where no one but
// root and this process's user can change it, and what is loaded is the
// descriptor that was checked, never the path again.
#ifndef HOST_REGISTRY_EXTFILE_H
#define HOST_REGISTRY_EXTFILE_H

#include <string>

#include "host/protocol/BFd.h"

// The library at `path`, open for reading, when this process may load it:
// `path`, its symbolic links resolved, is a regular file that belongs to
// root or this process's (effective) user and that its group and others
// cannot write, and so is every directory from / down to it, except that a
// sticky directory (such as /tmp) may be writable by others. Each step is
// examined on the descriptor it opened, the file on the one returned
// (opened without waiting, so a FIFO or a device in its place is refused at
// once, and never as a controlling terminal). Otherwise an invalid
// descriptor, and in `why` one line naming `path`: "cannot read PATH:
// REASON", "PATH is not a regular file (a KIND)", or "PATH could be changed
// by others: " with the directory or file at fault, its owner and mode, and
// what to do. A path without '/' is refused: the loader would search the
// library path for it, which nothing here examines.
BFd OpenExtFile(const std::string& path, std::string& why);

#endif
