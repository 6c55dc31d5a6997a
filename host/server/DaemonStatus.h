// What murox says of itself: to a console's "status" line, and to whoever
// else reports its state. Each fact is filled in by the part that holds it
// (the registry's libraries, the server's clients, refusals and dropped
// records), so that every report reads the same numbers.
#ifndef HOST_SERVER_DAEMONSTATUS_H
#define HOST_SERVER_DAEMONSTATUS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostapi/DLLExtAgents.h"

struct TDaemonStatus {
    bool daemon = false; // serving a control socket, not the local shell
    long pid = 0;
    long long startedMs = 0; // on MonotonicMs()'s clock
    long long nowMs = 0;
    std::string configuration; // the configuration file's name
    std::string extensionDirs; // where root loads libraries from, ':' between
    // Extension libraries, by their status in the listing.
    unsigned long loaded = 0;
    unsigned long failedToLoad = 0;
    unsigned long failedToInit = 0;
    unsigned long notLoaded = 0; // by configuration or request, or of no known status
    // Those of them the crash guard set aside, by name, in the listing's order.
    std::vector<std::string> setAside;
    // The daemon's only.
    std::string socket;
    unsigned long consoles = 0;      // connected now
    unsigned long eventsDropped = 0; // event records its log output lost
    unsigned long refusals = 0;      // connections turned away
};

// Counts the library in the status its listing shows.
void CountLibrary(const ExtAgent& agent, TDaemonStatus& status);

// The status the listing shows for the library, in its words ("LOADED",
// "FAILED TO LOAD", "FAILED TO INITIALIZE/REGISTER", "NOT LOADED").
const char* ListingStatus(const ExtAgent& agent);

// The "status" answer: one "key: value" line a fact, in a fixed order,
// each key once; the daemon's keys only in its own. Names are shown
// visible (control::VisibleLine), so that each value stays on its line.
std::string StatusLines(const TDaemonStatus& status);

// The same facts as a JSON object, under the same keys and in the same
// order: counts as numbers, the names set aside as a list; text as it is
// (control::JsonLine escapes it).
nlohmann::ordered_json StatusJson(const TDaemonStatus& status);

#endif
