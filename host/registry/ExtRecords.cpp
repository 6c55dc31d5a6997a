#include "host/registry/ExtRecords.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/protocol/VisibleText.h"
#include "host/registry/ExtCrashGuard.h"
#include "host/registry/ExtFailures.h"
#include "host/registry/ExtFile.h"
#include "host/registry/LogPriority.h"

namespace {

std::string ToStd(const KAF::BString& text)
{
    return std::string(text.c_str(), text.length());
}

void SetText(KAF::BString& target, const std::string& text)
{
    target.Assign(text.c_str(), static_cast<unsigned>(text.size()));
}

bool SameText(const KAF::BString& a, const KAF::BString& b)
{
    return View(a) == View(b);
}

// The crash guard's marker, for as long as the library's code runs to
// load it. A marker that cannot be written is said, and the library loads
// all the same: the guard is a help, not a condition.
class BMarked {
public:
    BMarked(BExtCrashGuard* pGuard, const ExtAgent& agent) : m_pGuard(pGuard)
    {
        std::string why;
        if (m_pGuard != nullptr && !m_pGuard->Mark(agent, why)) {
            m_pGuard = nullptr;
            LogEventAt(TLogPriority::kWarning,
                       "extension library '%s' loads without the crash guard: %s",
                       agent.name.c_str(), control::VisibleLine(why).c_str());
        }
    }
    ~BMarked()
    {
        if (m_pGuard != nullptr)
            m_pGuard->Unmark();
    }
    BMarked(const BMarked&) = delete;
    BMarked& operator=(const BMarked&) = delete;

private:
    BExtCrashGuard* m_pGuard;
};

// The indexes of the registries alive; mostly one.
std::vector<const TIndex*> s_indexes;

} // namespace

void ListIndex(const TIndex& index)
{
    s_indexes.push_back(&index);
}

void UnlistIndex(const TIndex& index)
{
    s_indexes.erase(std::remove(s_indexes.begin(), s_indexes.end(), &index), s_indexes.end());
}

TExtFacts ExtFactsOf(const ExtAgent& agent)
{
    for (const TIndex* pIndex : s_indexes) {
        const auto it = pIndex->find(View(agent.name));
        if (it != pIndex->end() && &it->second->agent == &agent)
            return it->second->facts;
    }
    return TExtFacts();
}

bool SameSource(const ExtAgent& agent, const KAF::BString& path, const KAF::BString& web)
{
    return SameText(agent.path, path) && SameText(agent.web, web);
}

std::unique_ptr<TRecord> MakeRecord(const TExtConfigEntry& entry)
{
    std::unique_ptr<TRecord> pRecord(new TRecord);
    SetText(pRecord->agent.name, entry.name);
    SetText(pRecord->agent.path, entry.path);
    SetText(pRecord->agent.web, entry.web);
    pRecord->agent.load = entry.load ? 1 : 0;
    pRecord->agent.status = kExtNotLoaded;
    pRecord->agent.loaded = 0;
    return pRecord;
}

int LoadRecord(TRecord& record, TLoadBy by, const TExtDirs& dirs)
{
    if (record.agent.loaded != 0)
        return 1;
    std::string why;
    int status = kExtFailedToLoad;
    BExtCrashGuard* pGuard = CurrentExtCrashGuard();
    if (pGuard != nullptr && by == TLoadBy::kHand)
        pGuard->Lift(ToStd(record.agent.name));
    if (pGuard == nullptr || by == TLoadBy::kHand || !pGuard->SetAside(record.agent, why)) {
        const std::string path = ToStd(record.agent.path);
        TExtFile file;
        status = OpenExtFile(path, dirs, file, why);
        if (status == 0) {
            const BMarked marked(pGuard, record.agent);
            status = LoadExtImage(file, path, record.image, why);
        }
    }
    record.agent.status = status;
    const std::string name = ToStd(record.agent.name);
    if (status != 0) {
        record.facts.failure = why;
        NoteExtChange(&TExtChanges::failed, name);
        ReportExtFailure("extension library '%s' not loaded: %s", record.agent.name.c_str(),
                         why.c_str());
        return 0;
    }
    record.agent.loaded = 1;
    record.facts.failure.clear();
    record.facts.loadedSince = std::time(nullptr);
    NoteExtChange(&TExtChanges::loaded, name);
    return 1;
}

int UnloadRecord(TRecord& record)
{
    if (record.agent.loaded == 0)
        return 1;
    record.agent.loaded = 0;
    record.agent.status = kExtNotLoaded;
    record.facts.loadedSince = 0;
    NoteExtChange(&TExtChanges::unloaded, ToStd(record.agent.name));
    std::string why;
    if (!CloseExtImage(record.image, why)) {
        NoteExtChange(&TExtChanges::failed, ToStd(record.agent.name));
        ReportExtFailure("extension library '%s' (%s) unloaded, but %s", record.agent.name.c_str(),
                         record.agent.path.c_str(), why.c_str());
        return 0;
    }
    return 1;
}

TRecords FollowEntries(const std::vector<TExtConfigEntry>& entries, TRecords& records,
                       TIndex& index)
{
    TRecords fresh;
    fresh.reserve(entries.size());
    TIndex freshIndex;
    freshIndex.reserve(entries.size());
    for (const TExtConfigEntry& entry : entries) {
        fresh.push_back(MakeRecord(entry));
        freshIndex.emplace(NameOf(*fresh.back()), fresh.back().get());
    }
    TRecords gone;
    gone.reserve(records.size());

    for (auto& pOld : records) {
        auto it = freshIndex.find(NameOf(*pOld));
        if (it == freshIndex.end()) {
            // No longer configured: unloaded, it vanishes.
            gone.push_back(std::move(pOld));
            continue;
        }
        // A library now configured from another path or with another web
        // part is a different one: the old is unloaded from where it was
        // loaded, and the fresh record loads from the new path.
        TRecord& kept = *it->second;
        if (!SameSource(kept.agent, pOld->agent.path, pOld->agent.web)) {
            gone.push_back(std::move(pOld));
            continue;
        }
        kept.image = std::exchange(pOld->image, TExtImage());
        kept.agent.status = pOld->agent.status;
        kept.agent.loaded = pOld->agent.loaded;
        kept.facts = std::move(pOld->facts);
    }
    records.swap(fresh);
    index.swap(freshIndex);
    return gone;
}

BJoining::BJoining(TRecords& records, TIndex& index, std::unique_ptr<TRecord> pRecord)
    : m_records(records), m_index(index), m_pRecord(std::move(pRecord))
{
    if (m_records.size() == m_records.capacity())
        m_records.reserve(2 * m_records.size() + 8);
    m_index.emplace(NameOf(*m_pRecord), m_pRecord.get());
}

BJoining::~BJoining()
{
    if (m_pRecord != nullptr)
        m_index.erase(NameOf(*m_pRecord));
}

TRecord& BJoining::Join()
{
    m_records.push_back(std::move(m_pRecord));
    return *m_records.back();
}
