// What the registry changed while one line ran, and what it knows of each
// library beyond the listing: so that whoever runs a line can tell from
// what happened, not from the line's text, whether it changed anything.
#ifndef HOST_REGISTRY_EXTCHANGES_H
#define HOST_REGISTRY_EXTCHANGES_H

#include <ctime>
#include <string>
#include <vector>

#include "hostapi/DLLExtAgents.h"

// The names of the libraries, in the order it happened.
struct TExtChanges {
    std::vector<std::string> loaded;   // now loaded, and were not
    std::vector<std::string> unloaded; // now unloaded, and were loaded
    std::vector<std::string> failed;   // a load, unload, add or delete that failed
    std::vector<std::string> added;    // newly configured (an add, or a re-read)
    std::vector<std::string> deleted;  // no longer configured
    // Still configured, with another path, web part or load flag (a re-read).
    std::vector<std::string> updated;

    // Whether the registry is other than it was: anything but a failure.
    bool Changed() const
    {
        return !loaded.empty() || !unloaded.empty() || !added.empty() || !deleted.empty() ||
               !updated.empty();
    }
};

// While one lives, the registry notes its changes in `changes`; the innermost wins.
class TExtChangesUse {
public:
    explicit TExtChangesUse(TExtChanges& changes);
    ~TExtChangesUse();
    TExtChangesUse(const TExtChangesUse&) = delete;
    TExtChangesUse& operator=(const TExtChangesUse&) = delete;

private:
    TExtChanges* m_pOuter;
};

// Notes `name` in the list of the changes in use, if any. A note that
// cannot be made (no memory) is lost: the registry's own work goes on.
void NoteExtChange(std::vector<std::string> TExtChanges::*list, const std::string& name);

// What the registry knows of a library beyond the listing.
struct TExtFacts {
    std::string failure;         // why its last load failed, while its status says it failed
    std::time_t loadedSince = 0; // when it was loaded (wall clock), while it is loaded
};

// The facts of the library whose record `agent` is (as DLLExtAgents::
// ExtAgentAt gives it); none for a record of no registry in this process.
TExtFacts ExtFactsOf(const ExtAgent& agent);

#endif
