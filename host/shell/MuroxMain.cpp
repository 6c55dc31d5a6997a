// murox: a host that loads libMUROX the way the daemon does. It runs as
// a shell on the operator's terminal, as a daemon serving consoles on its
// control socket, or as such a console.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "host/console/BLineReader.h"
#include "host/console/BRemoteConsole.h"
#include "host/console/ShellConsole.h"
#include "host/kaf/BSubscription.h"
#include "host/kaf/StoreControl.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtConfigCheck.h"
#include "host/server/BAnswerStream.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "host/server/BStdoutQueue.h"
#include "host/server/DaemonSignals.h"
#include "host/shell/BCmdInterpreter.h"
#include "host/shell/BHostCommands.h"
#include "host/shell/MuroxOptions.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"

namespace {

const int kBadUsage = 2;
const int kFailure = 1;

const int kLineFailed = 3;

// Writes a line's answer where its outcome says: standard error for a line
// that failed, else standard output (after the events the line caused,
// which the sink wrote there already).
void WriteAnswer(const std::string& answer, TLineOutcome outcome)
{
    if (outcome == TLineOutcome::kFailed) {
        std::fflush(stdout);
        std::fwrite(answer.data(), 1, answer.size(), stderr);
    } else {
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fflush(stdout);
    }
}

// The shell: the -e lines, or standard input's, until their end or "quit".
// 3 when a line failed, after running them all; 1 when standard output
// could not be written.
int RunSession(const TMuroxOptions& options, KAF::BFileNV& store)
{
    BHostCommands commands(store);
    bool failed = false;
    std::string answer;
    const auto run = [&](const std::string& line) {
        answer.clear();
        BAnswerStream out(answer);
        const TLineOutcome outcome = commands.RunLine(line, out);
        WriteAnswer(answer, outcome);
        failed = failed || outcome == TLineOutcome::kFailed;
        return outcome != TLineOutcome::kLeave;
    };
    if (!options.lines.empty()) {
        for (const std::string& line : options.lines)
            if (!run(line))
                break;
    } else {
        BLineReader reader("murox> ", MuroxHistoryPath(),
                           WordsCompleter([&commands] { return commands.CompletionWords(); }));
        std::string line;
        while (reader.ReadLine(line))
            if (!run(line))
                break;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "murox: cannot write to standard output: %s\n", std::strerror(errno));
        return kFailure;
    }
    return failed ? kLineFailed : 0;
}

// The limits consoles are held to. MUROX_PARTIAL_FRAME_TIMEOUT_MS shortens
// the wait for the rest of a frame, for the daemon's tests.
TClientLimits ClientLimits()
{
    TClientLimits limits;
    const char* szPartial = std::getenv("MUROX_PARTIAL_FRAME_TIMEOUT_MS");
    if (szPartial != nullptr && std::atoll(szPartial) > 0)
        limits.partialFrameMs = std::atoll(szPartial);
    return limits;
}

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

// The group named by --socket-group (a name or a number), else the
// daemon's own. False for a group the system does not know.
bool SocketGroup(const TMuroxOptions& options, gid_t& group)
{
    group = getegid();
    if (options.socketGroup.empty())
        return true;
    std::string buffer(16384, '\0');
    struct group entry {};
    struct group* pEntry = nullptr;
    if (getgrnam_r(options.socketGroup.c_str(), &entry, &buffer[0], buffer.size(), &pEntry) == 0 &&
        pEntry != nullptr) {
        group = pEntry->gr_gid;
        return true;
    }
    char* pEnd = nullptr;
    const unsigned long number = std::strtoul(options.socketGroup.c_str(), &pEnd, 10);
    if (pEnd == nullptr || *pEnd != '\0' || options.socketGroup[0] < '0' ||
        options.socketGroup[0] > '9')
        return false;
    group = static_cast<gid_t>(number);
    return true;
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

// The control socket a daemon claims: --socket, else the default. Empty,
// with the reason on standard error, when there is none to use.
std::string SocketPath(const TMuroxOptions& options)
{
    if (!options.socketPath.empty())
        return options.socketPath;
    std::string error;
    const std::string path = control::DefaultSocketPath(error);
    if (path.empty())
        std::fprintf(stderr, "murox: %s\n", error.c_str());
    return path;
}

// The socket a console connects to: --socket, $MUROX_SOCKET, the user's
// own default where a socket is, else the system daemon's.
std::string ConsoleSocketPath(const TMuroxOptions& options)
{
    if (!options.socketPath.empty())
        return options.socketPath;
    const char* szEnvironment = std::getenv("MUROX_SOCKET");
    if (szEnvironment != nullptr && szEnvironment[0] != '\0')
        return szEnvironment;
    std::string error;
    const std::string own = control::DefaultSocketPath(error);
    struct stat found {};
    if (!own.empty() && lstat(own.c_str(), &found) == 0 && S_ISSOCK(found.st_mode))
        return own;
    return control::kSystemSocketPath;
}

// The daemon: claims the control socket first, so that a second daemon
// leaves before any extension library runs; then loads them and serves
// until SIGTERM or SIGINT. Signals are blocked and read in the loop;
// standard output, where events are logged, is drained by the loop too.
int RunDaemon(const TMuroxOptions& options, gid_t socketGroup, KAF::BFileNV& store)
{
    const std::string path = SocketPath(options);
    if (path.empty())
        return kFailure;
    BControlSocket socket;
    const TClaimResult claim = socket.Claim(path, socketGroup);
    if (claim.outcome != TClaimResult::kClaimed) {
        std::fprintf(stderr, "murox: %s\n",
                     claim.outcome == TClaimResult::kRunning
                         ? ("a daemon is already serving " + path).c_str()
                         : claim.error.c_str());
        return kFailure;
    }
    const BFd signalFd = OpenDaemonSignals();
    if (!signalFd.Valid()) {
        std::fprintf(stderr, "murox: cannot read signals: %s\n", std::strerror(errno));
        return kFailure;
    }
    BStdoutQueue output;
    if (!output.Install())
        std::fprintf(stderr, "murox: standard output is written directly: %s\n",
                     std::strerror(errno));
    MuroxLogEvent("daemon started, version %s, pid %d, configuration %s", MUROX_VERSION,
                  static_cast<int>(getpid()), options.configPath.c_str());
    {
        BControlServer server(socket, signalFd.Get(), &output, ClientLimits());
        // The consoles hear the libraries load and, until they are told
        // the daemon has stopped, unload.
        const KAF::BSubscription toConsoles(*KAF::BMessageDispatcher::s_pInstance, server.FanOut());
        {
            BHostCommands commands(store);
            MuroxLogEvent("listening on %s", path.c_str());
            server.Serve(commands);
        }
        server.CloseAll("murox: the daemon has stopped\n", 2000);
    }
    MuroxLogEvent("daemon stopped");
    output.Finish(2000);
    return 0;
}

// The configuration directory of an installation prefix, by the rule the
// build installs it with (GNUInstallDirs'): /etc for / and /usr,
// /etc/opt/NAME for /opt/NAME, <prefix>/etc for any other.
std::string SysconfDir(const std::string& prefix)
{
    if (prefix.empty() || prefix == "/usr")
        return "/etc";
    if (prefix.compare(0, 5, "/opt/") == 0 && prefix.find('/', 5) == std::string::npos)
        return "/etc" + prefix;
    return prefix + "/etc";
}

// An installed murox takes the configuration installed with it: where the
// configured prefix puts it, seen from the program's own folder, or where
// the prefix the program was installed to puts it (a package is installed
// under another prefix than the tree was configured for). One run from the
// build tree takes the build tree's.
std::string DefaultConfigPath()
{
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) {
        std::string folder(exe, static_cast<std::string::size_type>(length));
        folder.erase(folder.rfind('/') + 1);
        std::vector<std::string> candidates = {folder + MUROX_INSTALLED_CONFIG};
        if (folder.size() > 5 && folder.compare(folder.size() - 5, 5, "/bin/") == 0)
            candidates.push_back(SysconfDir(folder.substr(0, folder.size() - 5)) +
                                 "/murox/murox.conf");
        for (const std::string& candidate : candidates)
            if (access(candidate.c_str(), R_OK) == 0)
                return candidate;
    }
    return MUROX_DEFAULT_CONFIG;
}

} // namespace

int main(int argc, char** argv)
{
    EnsureStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);

    const std::string defaultConfig = DefaultConfigPath();
    TMuroxOptions options;
    std::string error;
    if (!ParseMuroxOptions(argc, argv, defaultConfig, options, error)) {
        std::fprintf(stderr, "murox: %s (try murox --help)\n", error.c_str());
        return kBadUsage;
    }
    if (options.help) {
        std::fputs(MuroxUsage(defaultConfig).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("murox %s\n", MUROX_VERSION);
        return 0;
    }

    gid_t socketGroup = 0;
    if (!SocketGroup(options, socketGroup)) {
        std::fprintf(stderr, "murox: --socket-group: no group '%s'\n", options.socketGroup.c_str());
        return kBadUsage;
    }
    if (options.mode == TMuroxMode::kCheck) {
        const std::vector<std::string> problems = CheckExtConfigFile(options.configPath);
        for (const std::string& problem : problems)
            std::fprintf(stderr, "murox: %s\n", problem.c_str());
        return problems.empty() ? 0 : kFailure;
    }
    if (options.mode == TMuroxMode::kRemote) {
        return RunRemoteConsole(ConsoleSocketPath(options), options.lines, options.follow);
    }

    KAF::BFileNV store;
    std::vector<TExtConfigEntry> entries;
    if (store.ReadFile(options.configPath.c_str()) == 0) {
        std::fprintf(stderr, "murox: %s\n", store.LastError());
        return kBadUsage;
    }
    if (!ReadExtConfig(store, entries, error)) {
        std::fprintf(stderr, "murox: %s: %s\n", options.configPath.c_str(), error.c_str());
        return kBadUsage;
    }
    // One murox per configuration: a second would load every library again
    // and overwrite the first one's changes.
    if (!KAF::LockConfig(options.configPath, store, error)) {
        std::fprintf(stderr, "murox: %s\n", error.c_str());
        return kFailure;
    }

    // The sink is attached before the first library loads, so that their
    // init records are written, and detached only after the registry has
    // unloaded them all.
    const bool ownDispatcher = KAF::BMessageDispatcher::s_pInstance == nullptr;
    if (ownDispatcher)
        KAF::BMessageDispatcher::s_pInstance = new KAF::BMessageDispatcher;
    MuroxMsgSubscriber sink;
    if (options.toSyslog) {
        sink.LogToSyslog();
        WarnWithoutSystemLog();
    }
    KAF::BMessageDispatcher::s_pInstance->Subscribe(&sink);

    int status = 0;
    if (options.mode == TMuroxMode::kDaemon)
        status = RunDaemon(options, socketGroup, store);
    else
        status = RunSession(options, store);

    KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&sink);
    std::fflush(stdout);
    if (ownDispatcher) {
        delete KAF::BMessageDispatcher::s_pInstance;
        KAF::BMessageDispatcher::s_pInstance = nullptr;
    }
    return status;
}
