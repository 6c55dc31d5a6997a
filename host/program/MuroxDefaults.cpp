#include "host/program/MuroxDefaults.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/protocol/ControlProtocol.h"

namespace {

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

} // namespace

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

std::string LockDirectory()
{
    std::string error;
    const std::string runtime = control::RuntimeDirectory(error);
    return runtime.empty() ? "/tmp/murox-" + std::to_string(geteuid()) : runtime;
}

KAF::TLockPlace LockPlace(const TMuroxOptions& options, gid_t socketGroup)
{
    KAF::TLockPlace place;
    place.directory = LockDirectory();
    place.group = getegid();
    if (options.mode != TMuroxMode::kDaemon)
        return place;
    place.oneName = geteuid() == 0;
    std::string error;
    const std::string socket =
        options.socketPath.empty() ? control::DefaultSocketPath(error) : options.socketPath;
    if (socket.substr(0, socket.rfind('/')) == place.directory)
        place.group = socketGroup;
    return place;
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
