// What the host does with its file-backed configuration store beyond the
// framework's interface: lock its file, and take back unsaved changes.
#ifndef HOST_KAF_STORECONTROL_H
#define HOST_KAF_STORECONTROL_H

#include <string>

#include "hostapi/BFileNV.h"

namespace KAF {

// Takes an exclusive flock on the file at `path` (the final target of a
// symbolic link) for `store`, refusing at once when another open file
// holds it: then `holderMessage` names the holder ("PATH is in use by
// murox pid N (a daemon serving SOCKET): use murox --remote") or says why
// the file cannot be locked. The store owns the lock from then on and
// releases it when destroyed; ReadFile and Commit move it to the file they
// read or write, a commit locking the new file before it takes the old
// one's place. Calling it again for the file the store holds succeeds.
KAF_API bool LockConfig(const std::string& path, BFileNV& store, std::string& holderMessage);

// Brings the store's contents back to what its file held when the store
// last read or wrote it, without reading the file again (so an edit made
// on disk since is not taken in unseen), and clears LastError(): the next
// Commit checks the file again. A store that never read a file becomes
// empty. What a caller that commits each change at once uses to undo the
// change whose commit failed.
KAF_API void RevertToLastSynced(BFileNV& store);

} // namespace KAF

#endif
