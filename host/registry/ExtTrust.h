// Who could change a path. Whoever can change a file, or a directory or a
// symbolic link on the way to it, chooses what is read there: for a library
// root loads, or the configuration that names it, that is code run as root.
// So a path is walked as it is written, from /, one component at a time on
// descriptors, each symbolic link followed here rather than by the kernel,
// and every directory and link on the way must belong to root or this
// process's (effective) user, and no directory may be writable by its group
// or others, except that a sticky directory (such as /tmp) may be: there
// only an entry's owner, which must be root or the user, may rename it.
#ifndef HOST_REGISTRY_EXTTRUST_H
#define HOST_REGISTRY_EXTTRUST_H

#include <string>

#include <sys/stat.h>

#include "host/protocol/BFd.h"

// What is walked, as reasons speak of it.
struct TTrustSubject {
    std::string named;               // leads every reason: the path, or "the extension directory D"
    const char* szAct;               // what to do, said as "ACT where only root can change it"
    const char* szExample = nullptr; // where, said after the owners when one is at fault
};

// The end of a walk.
struct TWalked {
    BFd fd;           // O_PATH, never a symbolic link: nothing was opened for reading
    struct stat info; // of `fd`
    std::string real; // the absolute path reached: no link, ".", ".." or empty step
};

enum class TWalk {
    kReached, // `walked` holds the end
    kMissing, // a step does not exist; every directory before it may be trusted
    kRefused, // `why` says what stands in the way
};

// Walks `path` (a relative one from the working directory) as above, at
// most 40 symbolic links. Every directory and link is examined, and the
// end too when it is a directory; an end of any other kind is left to the
// caller. Unless kReached, `why` holds one line: "cannot read NAMED:
// REASON", or "NAMED could be changed by others: " with what is at fault
// (TrustProblem).
TWalk WalkTrusted(const std::string& path, const TTrustSubject& subject, TWalked& walked,
                  std::string& why);

// Empty when `info`, of what is at `where`, belongs to root or this
// process's user and is not writable by its group or others (a sticky
// directory may be); else "NAMED could be changed by others: the directory
// (the file, the symbolic link) WHERE belongs to uid N, mode M, not to
// root; ACT where only root can change it[, such as EXAMPLE]", or "... (uid
// N, mode M) is writable by its group or others; chmod go-w WHERE, or ACT
// where only root can change it".
std::string TrustProblem(const TTrustSubject& subject, const std::string& where,
                         const struct stat& info);

// "a directory", "a FIFO", "a character device", ...
const char* KindOf(mode_t mode);

// Empty when this process is not root, or when the configuration file at
// `path` is a regular file that nobody but root can change, by the rule
// above; else why, naming `path`.
std::string ConfigTrustProblem(const std::string& path);

#endif
