#include "host/kaf/DaemonServes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/kaf/ConfigLock.h"
#include "host/kaf/FileReplacement.h"
#include "host/kaf/LockHolder.h"

namespace KAF {

bool DaemonServes(const std::string& systemLocks, const std::string& path, std::string& holder)
{
    // The lock file's name, as the holder made it.
    std::string dir, base, error;
    struct stat config, directory;
    if (::stat(path.c_str(), &config) != 0 || !S_ISREG(config.st_mode) ||
        !ResolveTarget(path, dir, base, error) || ::stat(dir.c_str(), &directory) != 0)
        return false;
    // Looked at, never opened for reading: it is root's, 0600; a member of
    // the socket's group may pass through the directory.
    const BFd lock(::open((systemLocks + "/" + LockFileName(directory, base)).c_str(),
                          O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat found;
    if (!lock.Valid() || ::fstat(lock.Get(), &found) != 0 || !S_ISREG(found.st_mode) ||
        found.st_uid != 0 || LockHolderPid(lock.Get()) == 0)
        return false;
    holder = DescribeLockHolder(path, lock.Get());
    return true;
}

} // namespace KAF
