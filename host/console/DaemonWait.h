// How a console waits for a daemon that went away (a restart) to come
// back: the interactive console and the follower alike.
#ifndef HOST_CONSOLE_DAEMONWAIT_H
#define HOST_CONSOLE_DAEMONWAIT_H

#include <functional>

#include "host/console/BConsoleScreen.h"
#include "host/console/BDaemonConnection.h"

// Where Ctrl-C shows while the console waits: `fd` polls readable, and
// `take` says whether what came there was Ctrl-C (and takes it).
struct TInterrupts {
    int fd = -1;
    std::function<bool()> take;
};

// Waits `ms` at most, ending at Ctrl-C: whether it came.
bool PauseUnlessInterrupted(const TInterrupts& interrupts, long long ms);

// Attempts to connect again with a growing pause between them, until the
// daemon is back, the operator gives up with Ctrl-C, or giveUpMs have
// passed.
struct TReconnectPolicy {
    bool enabled = false; // without, a lost daemon ends the session
    int firstDelayMs = 100;
    int longestDelayMs = 2000;
    int giveUpMs = 5 * 60 * 1000;
    // The clock the wait is measured on and how it pauses: a test's may
    // pause without waiting.
    std::function<BDaemonConnection::TClock::time_point()> now = BDaemonConnection::TClock::now;
    std::function<bool(const TInterrupts&, long long ms)> pause = PauseUnlessInterrupted;
};

// What AwaitDaemon returns once a daemon serves the connection's path again.
const int kDaemonBack = -1;

// Says that the console waits, then connects again as `policy` says,
// judging the daemon that answers as the first was. kDaemonBack once one
// greeted (the caller greets its operator); else the exit status, the
// reason said: 1 when the operator gave up or the time ran out, the
// access refused status when the daemon refuses the console or is not
// trusted.
int AwaitDaemon(BDaemonConnection& connection, BConsoleScreen& screen,
                const TReconnectPolicy& policy, const TInterrupts& interrupts);

#endif
