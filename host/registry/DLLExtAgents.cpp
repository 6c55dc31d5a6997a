// The host's registry of extension libraries: records in configuration
// order, each with the image it has opened. Every failure is reported
// through the event log; results are nonzero on success.
#include "hostapi/DLLExtAgents.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/kaf/StoreControl.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFailures.h"
#include "host/registry/ExtImage.h"

namespace {

struct TRecord {
    ExtAgent agent;
    TExtImage image;
};

std::string ToStd(const KAF::BString& text)
{
    return std::string(text.c_str(), text.length());
}

std::string_view View(const KAF::BString& text)
{
    return std::string_view(text.c_str(), text.length());
}

// A record's name as an index key; it lives as long as the record, whose
// name never changes.
std::string_view NameOf(const TRecord& record)
{
    return View(record.agent.name);
}

void SetText(KAF::BString& target, const std::string& text)
{
    target.Assign(text.c_str(), static_cast<unsigned>(text.size()));
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

using TRecords = std::vector<std::unique_ptr<TRecord>>; // configuration order
using TIndex = std::unordered_map<std::string_view, TRecord*>;

// A record on its way in: indexed, with room made for it so that
// joining cannot fail once the file holds it; forgotten again unless it
// joins.
class TJoining {
public:
    TJoining(TRecords& records, TIndex& index, std::unique_ptr<TRecord> pRecord)
        : m_records(records), m_index(index), m_pRecord(std::move(pRecord))
    {
        if (m_records.size() == m_records.capacity())
            m_records.reserve(2 * m_records.size() + 8);
        m_index.emplace(NameOf(*m_pRecord), m_pRecord.get());
    }
    ~TJoining()
    {
        if (m_pRecord != nullptr)
            m_index.erase(NameOf(*m_pRecord));
    }
    TJoining(const TJoining&) = delete;
    TJoining& operator=(const TJoining&) = delete;

    TRecord& Join()
    {
        m_records.push_back(std::move(m_pRecord));
        return *m_records.back();
    }

private:
    TRecords& m_records;
    TIndex& m_index;
    std::unique_ptr<TRecord> m_pRecord;
};

int LoadRecord(TRecord& record)
{
    if (record.agent.loaded != 0)
        return 1;
    std::string why;
    const int status = OpenExtImage(ToStd(record.agent.path), record.image, why);
    record.agent.status = status;
    if (status != 0) {
        ReportExtFailure("extension library '%s' not loaded: %s", record.agent.name.c_str(),
                         why.c_str());
        return 0;
    }
    record.agent.loaded = 1;
    return 1;
}

int UnloadRecord(TRecord& record)
{
    if (record.agent.loaded == 0)
        return 1;
    record.agent.loaded = 0;
    record.agent.status = kExtNotLoaded;
    std::string why;
    if (!CloseExtImage(record.image, why)) {
        ReportExtFailure("extension library '%s' (%s) unloaded, but %s", record.agent.name.c_str(),
                         record.agent.path.c_str(), why.c_str());
        return 0;
    }
    return 1;
}

// A store whose last read or write failed no longer mirrors its file, and
// one whose contents were not applied no longer mirrors the registry:
// writing either would overwrite what the operator has put in the file.
bool StoreUsable(KAF::INonVolatile* config, const std::string& rejected, const char* szAction,
                 const std::string& name)
{
    if (config == nullptr) {
        ReportExtFailure("extension library '%s' not %s: no configuration store", name.c_str(),
                         szAction);
        return false;
    }
    const char* szError = config->LastError();
    if (szError == nullptr || szError[0] == '\0')
        szError = rejected.c_str();
    if (szError[0] != '\0') {
        ReportExtFailure("extension library '%s' not %s: the configuration store reports '%s'; "
                         "fix the file and re-read it first",
                         name.c_str(), szAction, szError);
        return false;
    }
    return true;
}

// After a failed commit the store is brought back to what its file held
// when last read or written, not by reading the file again: that would take
// in, unseen, an edit made by hand since, which the next commit refuses to
// overwrite until the operator re-reads the file.
void UndoUncommitted(KAF::INonVolatile* config)
{
    auto* pFile = dynamic_cast<KAF::BFileNV*>(config);
    if (pFile == nullptr)
        ReportExtFailure("configuration store differs from its file until it is re-read");
    else
        KAF::RevertToLastSynced(*pFile);
}

} // namespace

// Every name is looked up through the index, so that the registry's work
// grows with the number of records, never with its square.
struct DLLExtAgents::TImpl {
    TRecords records;     // configuration order
    TIndex index;         // every record by name
    std::string rejected; // why the last configuration was not applied

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
    // Removes the record from the registry and hands it over.
    std::unique_ptr<TRecord> Take(TRecords::iterator it)
    {
        std::unique_ptr<TRecord> pRecord = std::move(*it);
        records.erase(it);
        index.erase(NameOf(*pRecord));
        return pRecord;
    }
};

DLLExtAgents::DLLExtAgents() : m_pImpl(new TImpl) {}

// Shutting down unloads in the reverse of configuration order.
DLLExtAgents::~DLLExtAgents()
{
    for (auto it = m_pImpl->records.rbegin(); it != m_pImpl->records.rend(); ++it)
        UnloadRecord(**it);
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
    return pRecord != nullptr ? LoadRecord(*pRecord) : 0;
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
    if (!error.empty() || !ReadExtConfig(*config, entries, error)) {
        ReportExtFailure("configuration not applied, extension libraries unchanged: %s",
                         error.c_str());
        m_pImpl->rejected = error;
        return 0;
    }
    m_pImpl->rejected.clear();

    // Everything that allocates happens before the first record moves. A
    // record that stays configured hands its image and state to the fresh
    // record of its entry, which takes its place.
    std::vector<std::unique_ptr<TRecord>> fresh;
    fresh.reserve(entries.size());
    TIndex index;
    index.reserve(entries.size());
    for (const TExtConfigEntry& entry : entries) {
        fresh.push_back(MakeRecord(entry));
        index.emplace(NameOf(*fresh.back()), fresh.back().get());
    }
    std::vector<std::unique_ptr<TRecord>> gone;
    gone.reserve(m_pImpl->records.size());

    for (auto& pOld : m_pImpl->records) {
        auto it = index.find(NameOf(*pOld));
        if (it == index.end()) {
            // No longer configured: unloaded, it vanishes.
            gone.push_back(std::move(pOld));
            continue;
        }
        // A loaded library keeps its image; a changed path applies to the
        // next load.
        TRecord& kept = *it->second;
        kept.image = std::exchange(pOld->image, TExtImage());
        kept.agent.status = pOld->agent.status;
        kept.agent.loaded = pOld->agent.loaded;
    }
    m_pImpl->records.swap(fresh);
    m_pImpl->index.swap(index);
    auto& records = m_pImpl->records;
    int result = 1;
    for (auto& pRecord : gone)
        result &= UnloadRecord(*pRecord);
    for (auto& pRecord : records) {
        if (pRecord->agent.load != 0)
            result &= LoadRecord(*pRecord);
        else
            result &= UnloadRecord(*pRecord);
    }
    return result;
}

int DLLExtAgents::Add(KAF::INonVolatile* config, const KAF::BString& name, const KAF::BString& path,
                      const KAF::BString& web)
{
    const std::string libName = ToStd(name);
    if (!StoreUsable(config, m_pImpl->rejected, "added", libName))
        return 0;
    if (!IsExtName(libName)) {
        ReportExtFailure(
            "extension library '%s' not added: a name is one word without any of []=#;",
            libName.c_str());
        return 0;
    }
    if (Exist(name) != 0) {
        ReportExtFailure("extension library '%s' not added: that name is configured already",
                         libName.c_str());
        return 0;
    }
    TExtConfigEntry entry{libName, ToStd(path), ToStd(web), true};
    if (entry.path.empty()) {
        ReportExtFailure("extension library '%s' not added: no path", libName.c_str());
        return 0;
    }
    TJoining joining(m_pImpl->records, m_pImpl->index, MakeRecord(entry));

    const KAF::BString section(ExtSectionName(libName).c_str());
    if (config->SetValue(section, KAF::BString("path"), path) == 0 ||
        config->SetValue(section, KAF::BString("web"), web) == 0 ||
        config->SetValue(section, KAF::BString("load"), KAF::BString("1")) == 0) {
        config->RemoveSection(section);
        ReportExtFailure("extension library '%s' not added: the configuration file cannot hold "
                         "path '%s' or web part '%s'",
                         libName.c_str(), path.c_str(), web.c_str());
        return 0;
    }
    if (config->Commit() == 0) {
        ReportExtFailure("extension library '%s' not added: %s", libName.c_str(),
                         config->LastError());
        config->RemoveSection(section);
        UndoUncommitted(config);
        return 0;
    }
    return LoadRecord(joining.Join());
}

int DLLExtAgents::Delete(KAF::INonVolatile* config, const KAF::BString& name)
{
    const std::string libName = ToStd(name);
    if (!StoreUsable(config, m_pImpl->rejected, "deleted", libName))
        return 0;
    auto it = m_pImpl->Find(libName);
    if (it == m_pImpl->records.end()) {
        ReportExtFailure("extension library '%s' not deleted: it is not configured",
                         libName.c_str());
        return 0;
    }
    const KAF::BString section(ExtSectionName(libName).c_str());
    if (config->RemoveSection(section) != 0 && config->Commit() == 0) {
        ReportExtFailure("extension library '%s' not deleted: %s", libName.c_str(),
                         config->LastError());
        UndoUncommitted(config);
        return 0;
    }
    std::unique_ptr<TRecord> pRecord = m_pImpl->Take(it);
    return UnloadRecord(*pRecord);
}
