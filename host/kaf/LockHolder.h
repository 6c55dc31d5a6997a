// Who holds the lock on a configuration file, in words for the operator.
#ifndef HOST_KAF_LOCKHOLDER_H
#define HOST_KAF_LOCKHOLDER_H

#include <string>

#include <sys/stat.h>

namespace KAF {

// "PATH is in use by murox pid N (a daemon serving SOCKET): use murox
// --remote", from the kernel's table of locks (/proc/locks) and the
// holder's command line; less where less is known. `file` is the lock
// file, `path` the configuration it stands for.
std::string DescribeLockHolder(const std::string& path, const struct stat& file);

} // namespace KAF

#endif
