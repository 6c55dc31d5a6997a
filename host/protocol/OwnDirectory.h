// The directory murox keeps what it makes while it runs in, for itself and
// those it lets in: its control socket, its configuration's locks. Both
// are in the runtime directory unless told otherwise, and whichever needs
// it first makes it, the one way.
#ifndef HOST_PROTOCOL_OWNDIRECTORY_H
#define HOST_PROTOCOL_OWNDIRECTORY_H

#include <string>

#include <sys/types.h>

#include "host/protocol/BFd.h"

namespace control {

// Opens the directory `path` into `fd`, making it when missing: created
// private (mkdir under a umask of 077), then given group `group` and mode
// 0750 through the opened descriptor, never by its path, so that members
// of the group may pass, whatever the umask, and no one else ever could.
// One that exists keeps the group and mode its owner gave it, but must be
// a real directory (not a symbolic link) of root or the effective user
// that no one else may write. Empty on success; else one line that says
// what is wrong with `named` ("the socket's directory /run/murox") and,
// where another directory would do, ends in `szElsewhere`.
std::string OpenOwnDirectory(const std::string& path, gid_t group, const std::string& named,
                             const char* szElsewhere, BFd& fd);

} // namespace control

#endif
