// The store's file on disk: read whole, and replaced whole without ever
// leaving it half written, following what a stranger placed beside it, or
// losing an edit made by hand meanwhile.
#ifndef HOST_KAF_CONFIGFILE_H
#define HOST_KAF_CONFIGFILE_H

#include <string>

#include <sys/stat.h>

#include "host/protocol/BFd.h"

namespace KAF {

// What the store's file held when the store last read or wrote it.
struct TFileImage {
    std::string path; // the store's name for the file
    bool exists = false;
    std::string text;
};

// The same file: device and inode.
bool SameFile(const struct stat& a, const struct stat& b);

// Reads the regular file at `path` (through a symbolic link) into `text`,
// and, given `pFile`, what fstat says of the file read. False, with
// `error` set, when it cannot.
bool ReadConfigFile(const std::string& path, std::string& text, std::string& error,
                    struct stat* pFile = nullptr);

// Told of the new file a rewrite makes: before it is put in place, which
// it may refuse (false, with `error` set: the rewrite then changes
// nothing), and, after, whether it stands at the name.
class IReplacementWatcher {
public:
    virtual ~IReplacementWatcher() = default;
    virtual bool Replacing(const std::string& path, const struct stat& file,
                           std::string& error) = 0;
    virtual void Replaced(bool newStands) = 0;
};

// Replaces the file named `path` with `text`. A symbolic link stays and
// its final target is replaced, in the target's directory: through a
// temporary file created there under an unpredictable name (never
// following anything that stands there), mode 0600 until it is complete,
// then given the original's mode, owner and group (a new file gets 0644
// less the umask), synced, compared once more, shown to `pWatcher` (if
// any), exchanged with the original, and the directory synced. What the
// exchange took out is compared with `synced`: an edit that reached it
// meanwhile is exchanged back in, what was appended to the new file while
// it stood in place is appended to it, and the rewrite refused. Once the
// directory is synced, what was appended to the old file since is appended
// to the new one (anything else puts the old file back). Refuses,
// changing nothing, when the file is not a regular file, or when it no
// longer holds what `synced` says (`synced` naming another path counts as
// a file that did not exist). On every failure no temporary file is left,
// but for the one that holds an edit that could not be put back or carried
// over, which the error names.
bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       std::string& error, IReplacementWatcher* pWatcher = nullptr);

} // namespace KAF

#endif
