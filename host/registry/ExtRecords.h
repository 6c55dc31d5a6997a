// The registry's records of extension libraries: each with the image it
// has opened, kept in configuration order and found by name.
#ifndef HOST_REGISTRY_EXTRECORDS_H
#define HOST_REGISTRY_EXTRECORDS_H

#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/registry/ExtChanges.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtImage.h"
#include "hostapi/DLLExtAgents.h"

struct TRecord {
    ExtAgent agent;
    TExtImage image;
    TExtFacts facts; // beyond the listing
};

using TRecords = std::vector<std::unique_ptr<TRecord>>; // configuration order
using TIndex = std::unordered_map<std::string_view, TRecord*>;

inline std::string_view View(const KAF::BString& text)
{
    return std::string_view(text.c_str(), text.length());
}

// A record's name as an index key; it lives as long as the record, whose
// name never changes.
inline std::string_view NameOf(const TRecord& record)
{
    return View(record.agent.name);
}

// Lists and unlists the index of a registry of this process, so that
// ExtFactsOf finds its records.
void ListIndex(const TIndex& index);
void UnlistIndex(const TIndex& index);

// A record of the entry, not loaded.
std::unique_ptr<TRecord> MakeRecord(const TExtConfigEntry& entry);

// Who asks for a load: the configuration (at start, "xdll -r", a repeated
// "xdll -a"), which leaves a library the crash guard set aside unloaded,
// or an operator, by hand, which lifts that and tries once more.
enum class TLoadBy { kConfiguration, kHand };

// Loads or unloads the record's library, unless it is so already, root
// from `dirs` alone; a failure is reported. Each change, and each failure,
// is noted (ExtChanges.h) and kept in the record's facts. A load runs the
// library's code under the crash guard's marker
// (host/registry/ExtCrashGuard.h), when there is a guard. 1 on success,
// else 0.
int LoadRecord(TRecord& record, TLoadBy by, const TExtDirs& dirs);
int UnloadRecord(TRecord& record);

// Whether the record configures the library of that path and web part.
bool SameSource(const ExtAgent& agent, const KAF::BString& path, const KAF::BString& web);

// Replaces `records` and `index` with records of `entries`, in their
// order. A record that stays configured with the same path and web part
// hands its image and state to the fresh record of its entry; those no
// longer configured, or configured from another path or web part, are
// handed back, still loaded. Everything that allocates happens before the
// first record moves.
TRecords FollowEntries(const std::vector<TExtConfigEntry>& entries, TRecords& records,
                       TIndex& index);

// A record on its way in: indexed, with room made for it so that
// joining cannot fail once the file holds it; forgotten again unless it
// joins.
class BJoining {
public:
    BJoining(TRecords& records, TIndex& index, std::unique_ptr<TRecord> pRecord);
    ~BJoining();
    BJoining(const BJoining&) = delete;
    BJoining& operator=(const BJoining&) = delete;

    TRecord& Join();

private:
    TRecords& m_records;
    TIndex& m_index;
    std::unique_ptr<TRecord> m_pRecord;
};

#endif
