// The host's registry of extension libraries: records in configuration
// order, each with the image it has opened. Every failure is reported
// through the event log; results are nonzero on success.
#include "hostapi/DLLExtAgents.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/registry/ExtConfig.h"
#include "host/registry/ExtCrashGuard.h"
#include "host/registry/ExtDirs.h"
#include "host/registry/ExtFailures.h"
#include "host/registry/ExtRecords.h"
#include "host/registry/ExtStoreUse.h"

namespace {

std::string ToStd(const KAF::BString& text)
{
    return std::string(text.c_str(), text.length());
}

// An add repeated as it was made succeeds and writes nothing, so that a
// deploy step can run twice; the library is loaded if it is not. An add
// that would configure the name otherwise is refused: that takes a delete.
int AddAgain(TRecord& record, const KAF::BString& path, const KAF::BString& web,
             const TExtDirs& dirs)
{
    if (!SameSource(record.agent, path, web)) {
        NoteExtChange(&TExtChanges::failed, ToStd(record.agent.name));
        ReportExtFailure("extension library '%s' not added: that name is configured already, "
                         "with path '%s' and web part '%s'",
                         record.agent.name.c_str(), record.agent.path.c_str(),
                         record.agent.web.c_str());
        return 0;
    }
    return LoadRecord(record, TLoadBy::kConfiguration, dirs);
}

// The directories root loads from, as `config` names them; those that
// cannot be used are reported, for root, whom they bind.
TExtDirs ExtDirsOf(const KAF::INonVolatile& config)
{
    std::string ignored; // a malformed value keeps the configuration out
    TExtDirs dirs = ResolveExtDirs(NamedExtDirs(config, ignored));
    for (const std::string& problem : dirs.refused)
        if (dirs.binding && !problem.empty())
            ReportExtFailure("%s; nothing is loaded from it", problem.c_str());
    return dirs;
}

// Notes which entries a re-read adds to the registry, and which change
// the path, web part or load flag of a library it has.
void NoteFollowed(const std::vector<TExtConfigEntry>& entries, const TIndex& index)
{
    for (const TExtConfigEntry& entry : entries) {
        const auto it = index.find(entry.name);
        if (it == index.end())
            NoteExtChange(&TExtChanges::added, entry.name);
        else if (!SameSource(it->second->agent, KAF::BString(entry.path.c_str()),
                             KAF::BString(entry.web.c_str())) ||
                 (it->second->agent.load != 0) != entry.load)
            NoteExtChange(&TExtChanges::updated, entry.name);
    }
}

} // namespace

// Every name is looked up through the index, so that the registry's work
// grows with the number of records, never with its square.
struct DLLExtAgents::TImpl {
    TRecords records;              // configuration order
    TIndex index;                  // every record by name
    std::string rejected;          // why the last configuration was not applied
    TExtDirs dirs = DefaultDirs(); // as the configuration applied names them

    TRecord* Lookup(std::string_view name) const
    {
        auto it = index.find(name);
        return it != index.end() ? it->second : nullptr;
    }
    TRecords::iterator Find(const std::string& name)
    {
        const TRecord* pRecord = Lookup(name);
        if (pRecord == nullptr)
            return records.end();
        return std::find_if(records.begin(), records.end(),
                            [pRecord](const auto& pEach) { return pEach.get() == pRecord; });
    }
    TRecord* Known(const KAF::BString& name)
    {
        if (TRecord* pRecord = Lookup(View(name)))
            return pRecord;
        ReportExtFailure("no extension library '%s' is configured", name.c_str());
        return nullptr;
    }
    static TExtDirs DefaultDirs() { return ResolveExtDirs(DefaultExtDirs()); }
    // Removes the record from the registry and hands it over.
    std::unique_ptr<TRecord> Take(TRecords::iterator it)
    {
        std::unique_ptr<TRecord> pRecord = std::move(*it);
        records.erase(it);
        index.erase(NameOf(*pRecord));
        return pRecord;
    }
};

DLLExtAgents::DLLExtAgents() : m_pImpl(new TImpl)
{
    ListIndex(m_pImpl->index);
}

// Shutting down unloads in the reverse of configuration order.
DLLExtAgents::~DLLExtAgents()
{
    for (auto it = m_pImpl->records.rbegin(); it != m_pImpl->records.rend(); ++it)
        UnloadRecord(**it);
    UnlistIndex(m_pImpl->index);
    delete m_pImpl;
}

int DLLExtAgents::NumExtAgents()
{
    return static_cast<int>(m_pImpl->records.size());
}

ExtAgent* DLLExtAgents::ExtAgentAt(int index)
{
    if (index < 0 || index >= NumExtAgents())
        return nullptr;
    return &m_pImpl->records[static_cast<std::size_t>(index)]->agent;
}

int DLLExtAgents::Exist(const KAF::BString& name)
{
    return m_pImpl->Lookup(View(name)) != nullptr ? 1 : 0;
}

int DLLExtAgents::Load(const KAF::BString& name)
{
    TRecord* pRecord = m_pImpl->Known(name);
    return pRecord != nullptr ? LoadRecord(*pRecord, TLoadBy::kHand, m_pImpl->dirs) : 0;
}

int DLLExtAgents::Unload(const KAF::BString& name)
{
    TRecord* pRecord = m_pImpl->Known(name);
    return pRecord != nullptr ? UnloadRecord(*pRecord) : 0;
}

int DLLExtAgents::Load(KAF::INonVolatile* config)
{
    if (config == nullptr) {
        ReportExtFailure("configuration not applied: no configuration store");
        return 0;
    }
    std::vector<TExtConfigEntry> entries;
    std::string error = config->LastError() != nullptr ? config->LastError() : "";
    if (error.empty())
        error = StoreTrustProblem(*config);
    if (!error.empty() || !ReadExtConfig(*config, entries, error)) {
        ReportExtFailure("configuration not applied, extension libraries unchanged: %s",
                         error.c_str());
        m_pImpl->rejected = error;
        return 0;
    }
    m_pImpl->rejected.clear();
    m_pImpl->dirs = ExtDirsOf(*config);
    NoteFollowed(entries, m_pImpl->index);
    TRecords gone = FollowEntries(entries, m_pImpl->records, m_pImpl->index);
    auto& records = m_pImpl->records;
    int result = 1;
    for (auto& pRecord : gone) {
        if (m_pImpl->Lookup(NameOf(*pRecord)) == nullptr)
            NoteExtChange(&TExtChanges::deleted, ToStd(pRecord->agent.name));
        result &= UnloadRecord(*pRecord);
    }
    for (auto& pRecord : records) {
        if (pRecord->agent.load != 0)
            result &= LoadRecord(*pRecord, TLoadBy::kConfiguration, m_pImpl->dirs);
        else
            result &= UnloadRecord(*pRecord);
    }
    return result;
}

int DLLExtAgents::Add(KAF::INonVolatile* config, const KAF::BString& name, const KAF::BString& path,
                      const KAF::BString& web)
{
    const std::string libName = ToStd(name);
    if (!StoreUsable(config, m_pImpl->rejected, "added", libName)) {
        NoteExtChange(&TExtChanges::failed, libName);
        return 0;
    }
    if (!IsExtName(libName)) {
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not added: a name is %s", libName.c_str(),
                         kExtNameRule);
        return 0;
    }
    if (TRecord* pRecord = m_pImpl->Lookup(libName))
        return AddAgain(*pRecord, path, web, m_pImpl->dirs);
    TExtConfigEntry entry{libName, ToStd(path), ToStd(web), true};
    if (entry.path.empty()) {
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not added: no path", libName.c_str());
        return 0;
    }
    BJoining joining(m_pImpl->records, m_pImpl->index, MakeRecord(entry));

    const KAF::BString section(ExtSectionName(libName).c_str());
    if (config->SetValue(section, KAF::BString("path"), path) == 0 ||
        config->SetValue(section, KAF::BString("web"), web) == 0 ||
        config->SetValue(section, KAF::BString("load"), KAF::BString("1")) == 0) {
        config->RemoveSection(section);
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not added: the configuration file cannot hold "
                         "path '%s' or web part '%s'",
                         libName.c_str(), path.c_str(), web.c_str());
        return 0;
    }
    if (config->Commit() == 0) {
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not added: %s", libName.c_str(),
                         config->LastError());
        config->RemoveSection(section);
        UndoUncommitted(config);
        return 0;
    }
    NoteExtChange(&TExtChanges::added, libName);
    return LoadRecord(joining.Join(), TLoadBy::kHand, m_pImpl->dirs);
}

int DLLExtAgents::Delete(KAF::INonVolatile* config, const KAF::BString& name)
{
    const std::string libName = ToStd(name);
    if (!StoreUsable(config, m_pImpl->rejected, "deleted", libName)) {
        NoteExtChange(&TExtChanges::failed, libName);
        return 0;
    }
    auto it = m_pImpl->Find(libName);
    if (it == m_pImpl->records.end()) {
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not deleted: it is not configured",
                         libName.c_str());
        return 0;
    }
    const KAF::BString section(FindExtSection(*config, libName).c_str());
    if (config->RemoveSection(section) != 0 && config->Commit() == 0) {
        NoteExtChange(&TExtChanges::failed, libName);
        ReportExtFailure("extension library '%s' not deleted: %s", libName.c_str(),
                         config->LastError());
        UndoUncommitted(config);
        return 0;
    }
    NoteExtChange(&TExtChanges::deleted, libName);
    std::unique_ptr<TRecord> pRecord = m_pImpl->Take(it);
    if (BExtCrashGuard* pGuard = CurrentExtCrashGuard())
        pGuard->Lift(libName);
    return UnloadRecord(*pRecord);
}
