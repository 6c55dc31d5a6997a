// The daemon: the libraries loaded in this process, served to consoles on
// the control socket.
#ifndef HOST_PROGRAM_MUROXDAEMON_H
#define HOST_PROGRAM_MUROXDAEMON_H

#include <sys/types.h>

#include "host/program/MuroxOptions.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"

// Claims the control socket first, so that a second daemon leaves before
// any extension library runs; then loads them, under the crash guard of
// the configuration (MuroxGuard.h), and serves until SIGTERM or
// SIGINT, the consoles hearing what `dispatcher` publishes meanwhile.
// Signals are blocked and read in the loop; standard output, where events
// are logged, is drained by the loop too. 0, or kFailure when it could
// not start.
int RunDaemon(const TMuroxOptions& options, gid_t socketGroup, KAF::BFileNV& store,
              KAF::BMessageDispatcher& dispatcher);

#endif
