// One memory budget for all consoles: many slow consoles that each stay
// within their own limits must not add up to the daemon's memory.
#ifndef HOST_SERVER_CONSOLEBUDGET_H
#define HOST_SERVER_CONSOLEBUDGET_H

#include <cstddef>

#include "host/server/BControlClient.h"

// The memory the queues of `clients` hold together, sent or not.
std::size_t HeldByAll(const TClients& clients);

// While the clients' queues together hold more than limits.totalUnsent
// bytes, dismisses the open client furthest behind (the most bytes unsent)
// with a farewell that says why; the log names it once it is reaped
// ("it fell furthest behind, N bytes unread, when the consoles together
// held more than B bytes"). Clients already leaving are not counted on to
// shrink: their frame in flight is kept.
void KeepWithinBudget(const TClients& clients, const TClientLimits& limits, long long nowMs);

#endif
