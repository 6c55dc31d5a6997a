// What may be loaded, and from where. Whoever can change a library, or a
// directory on its way, or a directory its dependencies are found in, can
// run code in the process that loads it, as root for the daemon; and a
// shared object that is no extension runs its own constructors. So a
// library is loaded only when no one but root and this process's user can
// change it (host/registry/ExtTrust.h), from an extension directory when
// this process is root (host/registry/ExtDirs.h), and only once its file
// shows it is an extension of this process's kind; all of which is checked
// before a byte of it runs.
#ifndef HOST_REGISTRY_EXTFILE_H
#define HOST_REGISTRY_EXTFILE_H

#include <string>

#include "host/protocol/BFd.h"
#include "host/registry/ExtDirs.h"

// A library checked, and open.
struct TExtFile {
    BFd fd;           // the file checked, open for reading
    std::string real; // its path as walked from /: nobody else can change it
};

// 0, with `file` holding the library at `path`, when this process may load
// it: `path`, walked as written, its links followed, is a regular file of
// root or this process's user that its group and others cannot write, on
// a way that nobody else can change; for root, within one of `dirs`. It is
// found without opening anything else (a FIFO or a device in its place is
// never opened), opened for reading without waiting and never as a
// controlling terminal, and read on that descriptor: an ELF shared object
// of this process's class, byte order and machine, whose dynamic symbol
// table defines both entry points (murox/MuroxExt.h), and whose
// every run path element (DT_RUNPATH, DT_RPATH) is an absolute directory,
// $ORIGIN its own, that nobody else can change, as is each dependency
// (DT_NEEDED) found in one. Otherwise kExtFailedToInit when it lacks an
// entry point, else kExtFailedToLoad, with one line in `why` naming `path`:
// "cannot read PATH: REASON", "PATH is not a regular file (a KIND)", "PATH
// could be changed by others: " with what is at fault, its owner and mode,
// and what to do, "PATH is not in an extension directory (...)", "PATH is
// not an extension library: ...", "PATH lacks an entry point: ...", or a
// run path element or dependency at fault. A path without '/' is refused:
// the loader would search the library path for it, which nothing here
// examines.
int OpenExtFile(const std::string& path, const TExtDirs& dirs, TExtFile& file, std::string& why);

#endif
