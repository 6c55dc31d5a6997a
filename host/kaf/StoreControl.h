// What the host does with its file-backed configuration store beyond the
// framework's interface: lock its file, clear what an interrupted rewrite
// left, and take back unsaved changes.
#ifndef HOST_KAF_STORECONTROL_H
#define HOST_KAF_STORECONTROL_H

#include <string>

#include "hostapi/BFileNV.h"

namespace KAF {

// Takes, for `store`, the lock of the configuration at `path` (the final
// target of a symbolic link): an flock on a file of the caller's own in
// `lockDir` (see ConfigLock.h), never on the configuration, which its
// readers may open and lock as they like. Refuses at once when another
// process holds it: then `holderMessage` names the holder ("PATH is in use
// by murox pid N (a daemon serving SOCKET): use murox --remote") or says
// why the file cannot be locked. The store owns the lock from then on and
// releases it when destroyed; a rewrite, or a file put in place by hand,
// keeps it. Calling it again for the file the store holds succeeds.
KAF_API bool LockConfig(const std::string& lockDir, const std::string& path, BFileNV& store,
                        std::string& holderMessage);

// Removes the temporary files that a rewrite of the configuration at `path`
// left when it was killed half-way: the regular files of the effective
// user's named as a rewrite names them, beside the final target. Only the
// holder of the lock may call it, no rewrite of its own running. The number
// removed; -1, with `error` set, when the directory cannot be read or one
// cannot be removed.
KAF_API int RemoveLeftoverTemporaries(const std::string& path, std::string& error);

// Brings the store's contents back to what its file held when the store
// last read or wrote it, without reading the file again (so an edit made
// on disk since is not taken in unseen), and clears LastError(): the next
// Commit checks the file again. A store that never read a file becomes
// empty. What a caller that commits each change at once uses to undo the
// change whose commit failed.
KAF_API void RevertToLastSynced(BFileNV& store);

} // namespace KAF

#endif
