// The directories murox keeps what it makes in, for itself and those it
// lets in: its control socket and its configuration's locks (the runtime
// directory, unless told otherwise: whichever needs it first makes it),
// and what outlives it (the state directory). Each is made the one way.
#ifndef HOST_PROTOCOL_OWNDIRECTORY_H
#define HOST_PROTOCOL_OWNDIRECTORY_H

#include <string>

#include <sys/types.h>

#include "host/protocol/BFd.h"

namespace control {

// Opens the directory `path` (absolute) into `fd`, making it when missing:
// created private (under a umask of 077), then given `mode` and, unless it
// is -1, group `group` through the opened descriptor, never by its path,
// so that members of the group may pass, whatever the umask, and no one
// else ever could. A missing directory on its way is made private too, one
// at a time with mkdirat from the descriptor of the one before (a user's
// ~/.local/state). One that exists keeps the group and mode its owner gave
// it, but must be a real directory (not a symbolic link) of root or the
// effective user that no one else may write. Empty on success; else one
// line that says what is wrong with `named` ("the socket's directory
// /run/murox") and, where another directory would do, ends in
// `szElsewhere`.
std::string OpenOwnDirectory(const std::string& path, mode_t mode, gid_t group,
                             const std::string& named, const char* szElsewhere, BFd& fd);

} // namespace control

#endif
