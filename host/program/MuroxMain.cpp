// murox: a host that loads libMUROX the way the daemon does. It runs as
// a shell on the operator's terminal, as a daemon serving consoles on its
// control socket, or as such a console.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "eventlog/MuroxMsgSubscriber.h"
#include "host/console/RemoteConsole.h"
#include "host/kaf/BSubscription.h"
#include "host/kaf/DaemonServes.h"
#include "host/kaf/StoreControl.h"
#include "host/outputs/BLinePrefix.h"
#include "host/outputs/JournalStream.h"
#include "host/program/MuroxDaemon.h"
#include "host/program/MuroxDefaults.h"
#include "host/program/MuroxExit.h"
#include "host/program/MuroxOptions.h"
#include "host/program/MuroxSession.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "host/protocol/VisibleText.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtConfigCheck.h"
#include "host/registry/ExtTrust.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"

namespace {

// A program started with descriptor 0, 1 or 2 closed would hand it to the
// first socket it opens, which would then take standard output or error.
void EnsureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        BFd opened(open("/dev/null", O_RDWR));
        if (opened.Get() == fd)
            opened.Release(); // it now stands in for the closed one
    }
}

// The C library drops records silently when the system log cannot be
// reached: say so once, at start.
void WarnWithoutSystemLog()
{
    sockaddr_un address;
    const BFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (control::SocketAddress("/dev/log", address) && fd.Valid() &&
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return;
    std::fprintf(stderr,
                 "murox: the system log cannot be reached at /dev/log (%s): its records "
                 "will be lost\n",
                 std::strerror(errno));
}

// --check: one line per problem on standard error, what the file holds
// made visible: names and paths written by hand may hold anything. A clean
// file is said to be, there too: silence is no verdict to a person, and
// standard output stays empty for a script.
int CheckConfiguration(const std::string& path)
{
    const std::vector<std::string> problems = CheckExtConfigFile(path);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "murox: %s\n", control::VisibleLine(problem).c_str());
    if (problems.empty())
        std::fprintf(stderr, "murox: %s: no problems found\n", control::VisibleLine(path).c_str());
    return problems.empty() ? 0 : kFailure;
}

// Whether root's murox (the system's daemon) holds the configuration, as
// far as this user can tell, said on standard error: a member of the
// socket's group who forgot --remote would get a plausible wrong answer
// from libraries of its own. Root's own lock tells root already.
bool ServedByRoot(const std::string& locks, const std::string& path)
{
    std::string holder;
    if (locks == control::kSystemRuntimeDirectory ||
        !KAF::DaemonServes(control::kSystemRuntimeDirectory, path, holder))
        return false;
    std::fprintf(stderr, "murox: %s\n", holder.c_str());
    return true;
}

// Reads the configuration into `store` and locks its file. 0, or the exit
// status after saying why on standard error.
int OpenConfiguration(const std::string& path, const KAF::TLockPlace& locks, KAF::BFileNV& store)
{
    std::string error;
    std::vector<TExtConfigEntry> entries;
    if (store.ReadFile(path.c_str()) == 0) {
        std::fprintf(stderr, "murox: %s\n", control::VisibleLine(store.LastError()).c_str());
        return kBadUsage;
    }
    // Root follows only a file that nobody else can change: its writer
    // would choose what root loads.
    const std::string untrusted = ConfigTrustProblem(path);
    if (!untrusted.empty()) {
        std::fprintf(stderr, "murox: %s\n", control::VisibleLine(untrusted).c_str());
        return kBadUsage;
    }
    if (!ReadExtConfig(store, entries, error)) {
        std::fprintf(stderr, "murox: %s\n", control::VisibleLine(path + ": " + error).c_str());
        return kBadUsage;
    }
    // A key nothing reads is most likely a typo; refusing it here would keep
    // a file written for a later version from starting: said, not refused.
    for (const std::string& unknown : DescribeUnknownExtKeys(store))
        std::fprintf(stderr, "murox: warning: %s; ignored\n",
                     control::VisibleLine(unknown).c_str());
    // One murox per configuration: a second would load every library again
    // and overwrite the first one's changes. The lock is a file of this
    // user's own, which no reader of the configuration can hold.
    if (ServedByRoot(locks.directory, path))
        return kFailure;
    if (!KAF::LockConfig(locks, path, store, error)) {
        std::fprintf(stderr, "murox: %s\n", error.c_str());
        return kFailure;
    }
    // Only the lock's holder knows that no rewrite of this file is running.
    const int removed = KAF::RemoveLeftoverTemporaries(path, error);
    if (removed < 0)
        std::fprintf(stderr, "murox: %s: temporary files of an interrupted rewrite: %s\n",
                     path.c_str(), error.c_str());
    else if (removed > 0)
        std::fprintf(stderr,
                     "murox: %s: removed %d temporary file(s) left by an interrupted rewrite\n",
                     path.c_str(), removed);
    return 0;
}

// The shell or the daemon: the extension libraries loaded in this process.
int RunHost(const TMuroxOptions& options, gid_t socketGroup)
{
    KAF::BFileNV store;
    KAF::TLockPlace locks;
    std::string error;
    if (!LockPlace(options, socketGroup, locks, error)) {
        std::fprintf(stderr, "murox: cannot lock '%s': %s\n", options.configPath.c_str(),
                     error.c_str());
        return kFailure;
    }
    int status = OpenConfiguration(options.configPath, locks, store);
    if (status != 0)
        return status;
    // The sink is attached before the first library loads, so that their
    // init records are written, and detached only after the registry has
    // unloaded them all.
    const bool ownDispatcher = KAF::BMessageDispatcher::s_pInstance == nullptr;
    if (ownDispatcher)
        KAF::BMessageDispatcher::s_pInstance = new KAF::BMessageDispatcher;
    KAF::BMessageDispatcher& dispatcher = *KAF::BMessageDispatcher::s_pInstance;
    MuroxMsgSubscriber sink;
    if (options.toSyslog) {
        // The daemon queues the sink's records for the log itself, so that
        // a stalled log never holds its loop; the shell lets the sink write.
        if (options.mode != TMuroxMode::kDaemon)
            sink.LogToSyslog();
        WarnWithoutSystemLog();
    }
    {
        const KAF::BSubscription toLog(dispatcher, sink);
        status = options.mode == TMuroxMode::kDaemon
                     ? RunDaemon(options, socketGroup, store, dispatcher)
                     : RunSession(options, store);
    }
    std::fflush(stdout);
    if (ownDispatcher) {
        delete KAF::BMessageDispatcher::s_pInstance;
        KAF::BMessageDispatcher::s_pInstance = nullptr;
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    EnsureStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    // Under a service manager, standard error may be the journal's stream:
    // what murox says there is a problem, marked warning, not the default
    // level.
    BLinePrefix forJournal(stderr, STDERR_FILENO, "<4>");
    if (IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO))
        forJournal.Install();

    const std::string defaultConfig = DefaultConfigPath();
    TMuroxOptions options;
    std::string error;
    if (!ParseMuroxOptions(argc, argv, defaultConfig, options, error)) {
        std::fprintf(stderr, "murox: %s (try murox --help)\n", error.c_str());
        return kBadUsage;
    }
    if (options.help) {
        std::fputs(MuroxUsage(defaultConfig).c_str(), stdout);
        return AfterStandardOutput(0);
    }
    if (options.version) {
        std::printf("murox %s\n", MUROX_VERSION);
        return AfterStandardOutput(0);
    }
    gid_t socketGroup = 0;
    if (!SocketGroup(options, socketGroup)) {
        std::fprintf(stderr, "murox: --socket-group: no group '%s'\n", options.socketGroup.c_str());
        return kBadUsage;
    }
    if (options.mode == TMuroxMode::kCheck)
        return CheckConfiguration(options.configPath);
    static_assert(kConsoleAccessRefused == kAccessRefused, "the console's refusal is murox's");
    // Objects interleaved with a prompt and the line being edited serve
    // neither a program nor a person: a person reads the text.
    if (options.json && options.lines.empty() && !options.follow && isatty(STDIN_FILENO) != 0) {
        std::fprintf(stderr, "murox: --json takes lines given with -e or piped in, not typed on "
                             "a terminal (try murox --help)\n");
        return kBadUsage;
    }
    if (options.mode == TMuroxMode::kRemote)
        return RunRemoteConsole(ConsoleSocketPath(options), options.lines, options.follow,
                                options.json);
    return RunHost(options, socketGroup);
}
