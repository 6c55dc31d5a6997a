#include "host/console/DaemonWait.h"

#include <algorithm>
#include <string>

#include <poll.h>

#include "host/console/RemoteConsole.h"

using TClock = BDaemonConnection::TClock;

bool PauseUnlessInterrupted(const TInterrupts& interrupts, long long ms)
{
    const auto until = TClock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - TClock::now());
        pollfd interrupt = {interrupts.fd, POLLIN, 0};
        if (poll(&interrupt, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) > 0 &&
            (interrupt.revents & POLLIN) && interrupts.take())
            return true;
        if (left.count() <= 0)
            return false;
    }
}

int AwaitDaemon(BDaemonConnection& connection, BConsoleScreen& screen,
                const TReconnectPolicy& policy, const TInterrupts& interrupts)
{
    screen.Remark("murox: waiting for the daemon to come back (Ctrl-C gives up)\n");
    const auto start = policy.now();
    long long delayMs = policy.firstDelayMs;
    for (;;) {
        const long long leftMs =
            policy.giveUpMs -
            std::chrono::duration_cast<std::chrono::milliseconds>(policy.now() - start).count();
        if (leftMs <= 0)
            return screen.Lost("the daemon did not come back within " +
                               SecondsText(std::chrono::milliseconds(policy.giveUpMs)));
        if (policy.pause(interrupts, std::min(delayMs, leftMs)))
            return screen.Lost("gave up waiting for the daemon");
        std::string error;
        const std::string path = connection.Path();
        if (connection.Connect(path, error, interrupts.fd))
            return kDaemonBack;
        // Ctrl-C may have ended a wait for a greeting.
        if (PauseUnlessInterrupted(interrupts, 0))
            return screen.Lost("gave up waiting for the daemon");
        // The daemon that answers is judged as the first was.
        if (connection.Untrusted() || connection.Refused()) {
            screen.Lost(error);
            return kConsoleAccessRefused;
        }
        delayMs = std::min<long long>(delayMs * 2, policy.longestDelayMs);
    }
}
