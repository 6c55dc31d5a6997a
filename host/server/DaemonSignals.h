// The signals the daemon answers. They are blocked and read from a
// descriptor in the control server's loop, so that no asynchronous handler
// ever touches the registry.
#ifndef HOST_SERVER_DAEMONSIGNALS_H
#define HOST_SERVER_DAEMONSIGNALS_H

#include "host/protocol/BFd.h"
#include "host/server/ICommandRunner.h"

// Blocks SIGTERM, SIGINT and SIGHUP and opens a signalfd that reads them.
// Invalid, with errno set, when either fails.
BFd OpenDaemonSignals();

// Takes every signal waiting on `signalFd`: each SIGHUP reloads the
// configuration through `runner`, as a console's reload would, and logs
// what the reload answered; SIGTERM or SIGINT is logged and stops. Returns
// the stopping signal's number, or 0 to go on.
int TakeDaemonSignals(int signalFd, ICommandRunner& runner);

#endif
