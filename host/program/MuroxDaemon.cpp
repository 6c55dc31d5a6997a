#include "host/program/MuroxDaemon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <malloc.h>
#include <unistd.h>

#include "host/commands/BHostCommands.h"
#include "host/kaf/BSubscription.h"
#include "host/outputs/BStdoutCapture.h"
#include "host/outputs/BStdoutQueue.h"
#include "host/outputs/BSyslogQueue.h"
#include "host/outputs/JournalStream.h"
#include "host/program/MuroxDefaults.h"
#include "host/program/MuroxExit.h"
#include "host/program/MuroxGuard.h"
#include "host/protocol/BFd.h"
#include "host/registry/LogPriority.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "host/server/DaemonSignals.h"
#include "host/service/BServiceNotifier.h"

namespace {

// Blocks from this size on are mapped on their own.
const int kOwnMappingBytes = 256 * 1024;

// The limits clients are held to. MUROX_PARTIAL_FRAME_TIMEOUT_MS shortens
// the wait for the rest of a frame, MUROX_CONSOLES_BUDGET_BYTES sets the
// consoles' shared budget, for the daemon's tests and its measurement.
TClientLimits ClientLimits()
{
    TClientLimits limits;
    const char* szPartial = std::getenv("MUROX_PARTIAL_FRAME_TIMEOUT_MS");
    if (szPartial != nullptr && std::atoll(szPartial) > 0)
        limits.partialFrameMs = std::atoll(szPartial);
    const char* szBudget = std::getenv("MUROX_CONSOLES_BUDGET_BYTES");
    if (szBudget != nullptr && std::atoll(szBudget) > 0)
        limits.totalUnsent = static_cast<std::size_t>(std::atoll(szBudget));
    return limits;
}

// How long a stop waits for the consoles to take their farewell, and then
// for the log to take what is left; MUROX_STOP_WAIT_MS shortens it, for
// the daemon's tests.
int StopWaitMs()
{
    const int kLongest = 2000;
    const char* szWait = std::getenv("MUROX_STOP_WAIT_MS");
    const long long wait = szWait != nullptr ? std::atoll(szWait) : 0;
    return wait > 0 && wait < kLongest ? static_cast<int>(wait) : kLongest;
}

// False, with the reason on standard error, when the socket cannot be
// claimed at `path`.
bool Claim(BControlSocket& socket, const std::string& path, gid_t group)
{
    const TClaimResult claim = socket.Claim(path, group);
    if (claim.outcome == TClaimResult::kClaimed)
        return true;
    std::fprintf(stderr, "murox: %s\n",
                 claim.outcome == TClaimResult::kRunning
                     ? ("a daemon is already serving " + path).c_str()
                     : claim.error.c_str());
    return false;
}

// Loads the configured libraries and serves consoles until a signal ends
// the loop; the consoles are told the daemon stopped.
void ServeConsoles(BControlSocket& socket, int signalFd, ILogOutput& output,
                   BServiceNotifier& notifier, KAF::BFileNV& store,
                   KAF::BMessageDispatcher& dispatcher, const std::string& path)
{
    BControlServer server(socket, signalFd, &output, ClientLimits());
    server.Notify(&notifier);
    // The consoles hear the libraries load and, until they are told
    // the daemon has stopped, unload.
    const KAF::BSubscription toConsoles(dispatcher, server.FanOut());
    {
        BHostCommands commands(store);
        commands.SetStatusSource([&server](TDaemonStatus& status) { server.FillStatus(status); });
        commands.WatchReloads(&notifier);
        LogEventAt(TLogPriority::kNotice, "listening on %s", path.c_str());
        // The socket listens already: what connects from now on is
        // served by the loop's first turn.
        notifier.Ready();
        server.Serve(commands);
        notifier.Stopping();
    }
    server.CloseAll("murox: the daemon has stopped\n", StopWaitMs());
}

} // namespace

int RunDaemon(const TMuroxOptions& options, gid_t socketGroup, KAF::BFileNV& store,
              KAF::BMessageDispatcher& dispatcher)
{
    // Read before any library loads, and kept from them.
    BServiceNotifier notifier = BServiceNotifier::FromEnvironment();
    const std::string path = SocketPath(options);
    BControlSocket socket;
    if (path.empty() || !Claim(socket, path, socketGroup))
        return kFailure;
    const BFd signalFd = OpenDaemonSignals();
    if (!signalFd.Valid()) {
        std::fprintf(stderr, "murox: cannot read signals: %s\n", std::strerror(errno));
        return kFailure;
    }
    // The event sink writes to stdout in either case (the host keeps it
    // there): its own syslog() would wait for a stalled log.
    // A console's queue that grew for a burst is a block of its own, given
    // back to the system once freed: a fixed threshold keeps the C library
    // from raising it and keeping such blocks in the heap.
    mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
    // Under systemd, standard output is the journal's stream, which reads
    // each record's priority from its "<N>"; anywhere else the records are
    // the sink's lines alone.
    BStdoutQueue toStdout(IsJournalStream(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO));
    BSyslogQueue toSyslog;
    ILogOutput& output = options.toSyslog ? static_cast<ILogOutput&>(toSyslog) : toStdout;
    BStdoutCapture capture(output);
    if (!capture.Install())
        std::fprintf(stderr, "murox: event records are written directly: %s\n",
                     std::strerror(errno));
    LogEventAt(TLogPriority::kNotice, "daemon started, version %s, pid %d, configuration %s",
               MUROX_VERSION, static_cast<int>(getpid()), options.configPath.c_str());
    const std::unique_ptr<BExtCrashGuard> pGuard = OpenCrashGuard(options.configPath);
    const TExtCrashGuardUse guarded(pGuard.get());
    ServeConsoles(socket, signalFd.Get(), output, notifier, store, dispatcher, path);
    LogEventAt(TLogPriority::kNotice, "daemon stopped");
    output.Finish(StopWaitMs());
    return 0;
}
