#include "host/program/MuroxDefaults.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/protocol/ControlProtocol.h"

namespace {

// The value of the environment variable `szName` when it is an absolute
// path, else nothing.
std::string AbsolutePath(const char* szName)
{
    const char* szValue = std::getenv(szName);
    return szValue != nullptr && szValue[0] == '/' ? szValue : "";
}

} // namespace

std::string PrefixConfigPath(const std::string& folder)
{
    if (folder.size() < 5 || folder.compare(folder.size() - 5, 5, "/bin/") != 0)
        return std::string();
    // The prefix's configuration directory, by GNUInstallDirs' rule.
    const std::string prefix = folder.substr(0, folder.size() - 5);
    std::string sysconfDir = prefix + "/etc";
    if (prefix.empty() || prefix == "/usr")
        sysconfDir = "/etc";
    else if (prefix.compare(0, 5, "/opt/") == 0 && prefix.find('/', 5) == std::string::npos)
        sysconfDir = "/etc" + prefix;
    return sysconfDir + "/murox/murox.conf";
}

std::string DefaultConfigPath()
{
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) {
        std::string folder(exe, static_cast<std::string::size_type>(length));
        folder.erase(folder.rfind('/') + 1);
        for (const std::string& candidate :
             {folder + MUROX_INSTALLED_CONFIG, PrefixConfigPath(folder)})
            if (!candidate.empty() && access(candidate.c_str(), R_OK) == 0)
                return candidate;
    }
    return MUROX_DEFAULT_CONFIG;
}

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

std::string StateDirectory(std::string& error)
{
    const std::string given = AbsolutePath("STATE_DIRECTORY");
    if (!given.empty())
        return given.substr(0, given.find(':'));
    if (geteuid() == 0)
        return "/var/lib/murox";
    const std::string state = AbsolutePath("XDG_STATE_HOME");
    if (!state.empty())
        return state + "/murox";
    const std::string home = AbsolutePath("HOME");
    if (!home.empty())
        return home + "/.local/state/murox";
    error = "no state directory: neither XDG_STATE_HOME nor HOME is set to an absolute path";
    return std::string();
}

std::string LockDirectory(std::string& error)
{
    std::string runtime = control::RuntimeDirectory(error);
    if (!runtime.empty())
        return runtime;
    // A shared folder such as /tmp would let any user make the name first.
    const std::string state = StateDirectory(error);
    return state.empty() ? state : state + "/locks";
}

bool LockPlace(const TMuroxOptions& options, gid_t socketGroup, KAF::TLockPlace& place,
               std::string& error)
{
    place.directory = LockDirectory(error);
    if (place.directory.empty())
        return false;
    place.group = getegid();
    if (options.mode != TMuroxMode::kDaemon)
        return true;
    place.oneName = geteuid() == 0;
    std::string ignored;
    const std::string socket =
        options.socketPath.empty() ? control::DefaultSocketPath(ignored) : options.socketPath;
    if (socket.substr(0, socket.rfind('/')) == place.directory)
        place.group = socketGroup;
    return true;
}

std::string SocketPath(const TMuroxOptions& options)
{
    if (!options.socketPath.empty())
        return options.socketPath;
    std::string error;
    std::string path = control::DefaultSocketPath(error);
    if (path.empty())
        std::fprintf(stderr, "murox: %s\n", error.c_str());
    return path;
}

std::string ConsoleSocketPath(const TMuroxOptions& options)
{
    if (!options.socketPath.empty())
        return options.socketPath;
    const char* szEnvironment = std::getenv("MUROX_SOCKET");
    if (szEnvironment != nullptr && szEnvironment[0] != '\0')
        return szEnvironment;
    std::string error;
    std::string own = control::DefaultSocketPath(error);
    struct stat found {};
    if (!own.empty() && lstat(own.c_str(), &found) == 0 && S_ISSOCK(found.st_mode))
        return own;
    return control::kSystemSocketPath;
}
