#include "host/registry/ExtDirs.h"

#include <cstdlib>

#include <dlfcn.h>
#include <unistd.h>

#include "host/registry/ExtTrust.h"

namespace {

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Where the registry was installed, when it was: a package is installed
// under another prefix than its tree was configured for, so the prefix is
// read from the registry's own place (through murox's run path, as
// "/usr/bin/../lib/..."), spelt without "..".
std::string PackageExtDir()
{
    static const char kHere = 0;
    Dl_info info{};
    if (dladdr(&kHere, &info) == 0 || info.dli_fname == nullptr)
        return MUROX_INSTALLED_EXTENSION_DIR;
    std::string dir = info.dli_fname;
    dir.erase(dir.find_last_of('/') == std::string::npos ? 0 : dir.find_last_of('/'));
    if (!EndsWith(dir, "/" MUROX_EXTENSION_SUBDIR))
        return MUROX_INSTALLED_EXTENSION_DIR;
    char* szReal = ::realpath(dir.c_str(), nullptr);
    if (szReal != nullptr) {
        dir = szReal;
        std::free(szReal);
    }
    return dir;
}

} // namespace

std::vector<std::string> DefaultExtDirs()
{
    return {PackageExtDir(), "/usr/local/lib/murox"};
}

std::vector<std::string> NamedExtDirs(const KAF::INonVolatile& config, std::string& why)
{
    std::vector<std::string> dirs = DefaultExtDirs();
    why.clear();
    KAF::BString value;
    if (config.GetValue(KAF::BString(kHostSection), KAF::BString(kExtDirsKey), value) == 0 ||
        value.length() == 0)
        return dirs;
    const std::string text(value.c_str(), value.length());
    for (std::string::size_type start = 0; start <= text.size();) {
        std::string::size_type colon = text.find(':', start);
        if (colon == std::string::npos)
            colon = text.size();
        const std::string dir = text.substr(start, colon - start);
        if (!dir.empty() && dir[0] == '/')
            dirs.push_back(dir);
        else if (why.empty())
            why = std::string(kExtDirsKey) + " names '" + dir +
                  "': each directory must be an absolute path, the next after a ':'";
        start = colon + 1;
    }
    return dirs;
}

std::string JoinExtDirs(const std::vector<std::string>& named)
{
    std::string joined;
    for (const std::string& dir : named)
        joined += (joined.empty() ? "" : ":") + dir;
    return joined;
}

TExtDirs ResolveExtDirs(const std::vector<std::string>& named)
{
    TExtDirs dirs;
    dirs.binding = geteuid() == 0;
    dirs.named = named;
    dirs.refused.resize(named.size());
    for (std::size_t i = 0; i < named.size(); ++i) {
        const TTrustSubject subject{"the extension directory " + named[i], "name a directory"};
        TWalked walked;
        std::string why;
        const TWalk result = WalkTrusted(named[i], subject, walked, why);
        if (result == TWalk::kReached && S_ISDIR(walked.info.st_mode))
            dirs.real.push_back(walked.real);
        else if (result == TWalk::kReached)
            dirs.refused[i] =
                subject.named + " is not a directory (" + KindOf(walked.info.st_mode) + ")";
        else if (i >= kDefaultExtDirs || result != TWalk::kMissing)
            dirs.refused[i] = why;
    }
    return dirs;
}

std::string OutsideExtDirs(const TExtDirs& dirs, const std::string& path, const std::string& real)
{
    if (!dirs.binding)
        return std::string();
    for (const std::string& dir : dirs.real)
        if (dir == "/" || (real.size() > dir.size() && real.compare(0, dir.size(), dir) == 0 &&
                           real[dir.size()] == '/'))
            return std::string();
    std::string list;
    for (const std::string& dir : dirs.named)
        list += (list.empty() ? "" : ", ") + dir;
    return path + " is not in an extension directory (" + list +
           "): root loads libraries from those alone; install it in one, or name its directory "
           "in " +
           kExtDirsKey + " of section [" + kHostSection + "]";
}
