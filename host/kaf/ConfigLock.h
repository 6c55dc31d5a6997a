// The locks that keep one murox per configuration file: files of the
// host's own, in a directory that only its user (or root) can write, so
// that nothing a reader of the configuration can do takes them or holds
// them. A configuration has two: one for the name it has in its directory,
// which a rewrite or a file put in place by hand keeps, and one for the
// file itself, which its other names (hard links) share.
#ifndef HOST_KAF_CONFIGLOCK_H
#define HOST_KAF_CONFIGLOCK_H

#include <string>

#include <sys/stat.h>

#include "host/kaf/ConfigFile.h"
#include "host/protocol/BFd.h"

namespace KAF {

// Where a store's locks are kept, and which files it takes.
struct TLockPlace {
    // Made, when missing, with control::OpenOwnDirectory.
    std::string directory;
    // The group a directory made for them gets; -1 leaves the user's.
    gid_t group = static_cast<gid_t>(-1);
    // Refuse a file of more than one name: a rewrite gives the store's name
    // a new file, and the others keep the old one, which no lock covers.
    bool oneName = false;
};

// The lock file's name for the configuration named `base` in the directory
// `directory` describes: keyed to the directory's device and inode and to
// the name, which a rewrite or a file put in place by hand keeps.
std::string LockFileName(const struct stat& directory, const std::string& base);

// The lock file's name for the file `file` describes, whatever its names:
// keyed to its device and inode.
std::string FileLockName(const struct stat& file);

// The locks a store holds. Each is taken with flock, without waiting, on a
// lock file opened (created 0600) without following a link, and counts
// only once the name still leads to the file locked (else it is opened and
// locked again, a bounded number of times): so a lock file may be removed
// by the one that lets go of it.
class BConfigLocks : public IReplacementWatcher {
public:
    BConfigLocks() = default;
    BConfigLocks(BConfigLocks&& other) = default;
    // Only into a set that holds nothing.
    BConfigLocks& operator=(BConfigLocks&& other) = default;
    BConfigLocks(const BConfigLocks&) = delete;
    BConfigLocks& operator=(const BConfigLocks&) = delete;
    // Lets go of the locks, removing their files.
    ~BConfigLocks() override;

    // Opens the directory of `place`. False, with `error` set, when it is
    // not one of root's or the effective user's that no one else may write.
    bool Place(const TLockPlace& place, std::string& error);
    // Whether Place succeeded: the store's files are locked from then on.
    bool Placed() const { return m_directory.Valid(); }

    // Holds the locks of the file that `path` finally names, which is
    // `file`, and lets go of those of any other. False when one is held by
    // another process or cannot be taken: then `message` names the holder
    // ("PATH is in use by murox pid N (a daemon serving SOCKET): use murox
    // --remote") or says why, and the locks held stay as they were.
    bool Follow(const std::string& path, const struct stat& file, std::string& message);

    // A rewrite's new file takes its lock before it is put in place; the
    // old file's is let go of once the new one stands at the name.
    bool Replacing(const std::string& path, const struct stat& file, std::string& error) override;
    void Replaced(bool newStands) override;

private:
    struct THeld {
        BFd fd;
        std::string name; // in the lock directory
    };
    // The lock file `name`, into `held`; else `message` says why not.
    bool Take(const std::string& name, const std::string& path, THeld& held,
              std::string& message) const;
    // Takes `name` into `fresh` unless `held` is it already.
    bool Renew(const THeld& held, const std::string& name, const std::string& path, THeld& fresh,
               std::string& message) const;
    // Lets go of `held` for `fresh`, if that holds a lock.
    void Adopt(THeld& held, THeld& fresh) const;
    void LetGo(THeld& held) const;
    bool StillNamed(const THeld& held) const;

    BFd m_directory;
    bool m_oneName = false;
    THeld m_byName;
    THeld m_byFile;
    THeld m_next; // a rewrite's new file's, until it stands
};

} // namespace KAF

#endif
