// What one line did, as its JSON object (murox(1), JSON OUTPUT) says it:
// the answer of the run with --json, in the shell and from the daemon.
#ifndef HOST_SERVER_LINEREPORT_H
#define HOST_SERVER_LINEREPORT_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/registry/ExtChanges.h"

struct TLineReport {
    std::string line;
    bool ok = false;
    std::string answer;                // what the command wrote
    std::vector<std::string> events;   // every event it caused, in order
    std::vector<std::string> failures; // those of them that say why it failed
    TExtChanges changes;               // what the registry did meanwhile
};

// The report as one object on one line (control::JsonLine), its fields
// always in the same order: "changed" from what the registry did, the
// "reasons" of a failed line its failure events and its answer; then the
// fields of `facts` (a listing's or "status"'s: "status", "libraries"),
// when it is an object.
std::string LineReportJson(const TLineReport& report,
                           const nlohmann::ordered_json& facts = nlohmann::ordered_json());

#endif
