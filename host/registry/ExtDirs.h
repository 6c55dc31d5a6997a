// Where a process run as root loads extension libraries from: its
// extension directories, and nowhere else, so that whoever may ask the
// daemon to load a path (a member of its socket's group) cannot make root
// run any shared object of the system that is no extension. The list binds
// root only; a user's own murox keeps loading that user's libraries.
#ifndef HOST_REGISTRY_EXTDIRS_H
#define HOST_REGISTRY_EXTDIRS_H

#include <cstddef>
#include <string>
#include <vector>

#include "hostapi/BFileNV.h"

// The host's section, and its key that names more extension directories:
// absolute paths separated by ':'.
const char kHostSection[] = "murox";
const char kExtDirsKey[] = "extension_dirs";

// The package's own extension directory (where the registry and the
// samples are installed, <prefix>/lib/<multiarch>/murox, found from the
// registry's own place; in a build tree, where it would be installed), and
// /usr/local/lib/murox: kDefaultExtDirs of them.
std::vector<std::string> DefaultExtDirs();
const std::size_t kDefaultExtDirs = 2;

// The default directories, then those the configuration names, in order.
// `why` is empty when the key is absent or names only absolute paths, else
// says what is wrong with it (and the element at fault is left out).
std::vector<std::string> NamedExtDirs(const KAF::INonVolatile& config, std::string& why);

// `named` joined with ':'.
std::string JoinExtDirs(const std::vector<std::string>& named);

// The directories a root process loads from, each as the walk from /
// reached it (host/registry/ExtTrust.h).
struct TExtDirs {
    bool binding = false; // this process runs as root: only these directories
    std::vector<std::string> named;
    std::vector<std::string> real; // of those that exist and nobody else can change
    // For each named one: empty, or why it cannot be used ("cannot read the
    // extension directory D: ...", "the extension directory D could be
    // changed by others: ..."); a default one may be missing unsaid.
    std::vector<std::string> refused;
};

// The directories of `named`, as NamedExtDirs gives them.
TExtDirs ResolveExtDirs(const std::vector<std::string>& named);

// Empty when the directories bind nothing, or `real`, a file's path as the
// walk reached it, lies below one of them; else why not, naming `path`.
std::string OutsideExtDirs(const TExtDirs& dirs, const std::string& path, const std::string& real);

#endif
