// The crash guard of the shell and of the daemon, in murox's state
// directory (host/registry/ExtCrashGuard.h).
#ifndef HOST_PROGRAM_MUROXGUARD_H
#define HOST_PROGRAM_MUROXGUARD_H

#include <memory>
#include <string>

#include "host/registry/ExtCrashGuard.h"

// The guard of the libraries of the configuration at `configuration`
// (keyed by its final target's path), in the state directory
// (StateDirectory), which is made, 0700, where it is missing. Null, after
// one record at warning that says why, when there is none to use: the
// libraries then load unguarded. Only the holder of the configuration's
// lock may call it.
std::unique_ptr<BExtCrashGuard> OpenCrashGuard(const std::string& configuration);

#endif
