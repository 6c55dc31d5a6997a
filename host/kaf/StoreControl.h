// What the host does with its file-backed configuration store beyond the
// framework's interface: lock its file, clear what an interrupted rewrite
// left, and take back unsaved changes.
#ifndef HOST_KAF_STORECONTROL_H
#define HOST_KAF_STORECONTROL_H

#include <string>

#include "host/kaf/ConfigLock.h"
#include "hostapi/BFileNV.h"

namespace KAF {

// Takes, for `store`, the locks of the configuration at `path` (the final
// target of a symbolic link): flocks on files of the caller's own in
// `place`'s directory (see ConfigLock.h), never on the configuration,
// which its readers may open and lock as they like; one for its name, one
// for the file, whatever its names. Refuses at once when another process
// holds one: then `holderMessage` names the holder ("PATH is in use by
// murox pid N (a daemon serving SOCKET): use murox --remote") or says why
// the file cannot be locked. The store owns the locks from then on: each
// read takes those of the file read before the store takes it (a read
// whose file another process holds fails, naming the holder, and keeps
// the locks held), a rewrite moves the file's lock to the file it puts in
// place, a file put in place by hand keeps the name's; destroyed, the store
// lets go of them and removes their files. Calling it again for the file
// the store holds succeeds.
KAF_API bool LockConfig(const TLockPlace& place, const std::string& path, BFileNV& store,
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
