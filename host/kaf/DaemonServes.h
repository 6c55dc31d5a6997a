// Whether a daemon serves a configuration, asked by a murox of another
// user: the question the lock of one user cannot answer for another.
#ifndef HOST_KAF_DAEMONSERVES_H
#define HOST_KAF_DAEMONSERVES_H

#include <string>

#include "hostapi/KafApi.h"

namespace KAF {

// Whether the lock of the configuration at `path` is held in root's lock
// directory `systemLocks` (/run/murox: the system's daemon, or root's
// shell, uses that file), as far as this process may see: the directory
// lets the socket's group through, and the kernel's table of locks
// (/proc/locks) says whether its lock file is held. Then `holder` names
// the holder ("PATH is in use by murox pid N (a daemon serving SOCKET):
// use murox --remote"). A process that can learn nothing (a stranger,
// whom the directory keeps out) is told nothing: false.
KAF_API bool DaemonServes(const std::string& systemLocks, const std::string& path,
                          std::string& holder);

} // namespace KAF

#endif
