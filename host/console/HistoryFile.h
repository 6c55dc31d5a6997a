// The operator's own files at home, the history and libedit's key
// bindings, each opened where it is and only when it is the operator's own.
#ifndef HOST_CONSOLE_HISTORYFILE_H
#define HOST_CONSOLE_HISTORYFILE_H

#include <string>

#include "host/protocol/BFd.h"

// Opens the file at `path` (~/.murox_history) for reading and writing.
// Its last component is opened without following a symbolic link and
// without blocking, and created (mode 0600) when nothing is there; what
// is opened is used only when it is a regular file owned by the
// process's user and writable by nobody else, in a directory owned by
// that user and writable by nobody else: a console run with another
// user's $HOME never creates or writes a file there. Otherwise an invalid
// descriptor, with the reason (one line, without the path) in `problem`.
BFd OpenHistoryFile(const std::string& path, std::string& problem);

// Opens the key bindings at `path` (editrc(5): ~/.editrc or $EDITRC) for
// reading, under the same rule; never creates it. Nothing there is an
// invalid descriptor with an empty `problem`.
BFd OpenKeyBindings(const std::string& path, std::string& problem);

#endif
