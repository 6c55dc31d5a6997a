// How the registry treats the configuration store it changes: it writes
// only to a store that mirrors both its file and the registry, and takes
// back a change whose commit failed.
#ifndef HOST_REGISTRY_EXTSTOREUSE_H
#define HOST_REGISTRY_EXTSTOREUSE_H

#include <string>

#include "hostapi/BFileNV.h"

// A store whose last read or write failed no longer mirrors its file, and
// one whose contents were not applied (`rejected` says why, empty when
// they were) no longer mirrors the registry: writing either would
// overwrite what the operator has put in the file. False, with the failure
// reported, for such a store or none; `szAction` and `name` say what was
// not done.
bool StoreUsable(KAF::INonVolatile* config, const std::string& rejected, const char* szAction,
                 const std::string& name);

// Empty when root may follow `config`: a store read from a file that nobody
// but root can change (host/registry/ExtTrust.h), or any store for a
// process not run as root; else why not, naming the file. Whoever could
// change the file would choose what root loads.
std::string StoreTrustProblem(const KAF::INonVolatile& config);

// After a failed commit the store is brought back to what its file held
// when last read or written, not by reading the file again: that would take
// in, unseen, an edit made by hand since, which the next commit refuses to
// overwrite until the operator re-reads the file.
void UndoUncommitted(KAF::INonVolatile* config);

#endif
