#include "host/commands/BHostCommands.h"

#include <exception>
#include <memory>

#include <unistd.h>

#include "host/kaf/BSubscription.h"
#include "host/outputs/OutputWait.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/JsonText.h"
#include "host/registry/ExtChanges.h"
#include "host/registry/ExtCrashGuard.h"
#include "host/registry/ExtDirs.h"
#include "host/registry/ExtFailures.h"
#include "host/server/BAnswerStream.h"
#include "host/server/LineReport.h"
#include "hostapi/BCmdLineParser.h"

namespace {

// Passes a command's answer on and notes whether there was any.
class BWatchedStream : public KAF::ICmdStream {
public:
    explicit BWatchedStream(KAF::ICmdStream& out) : m_out(out) {}
    void Flush() override { m_out.Flush(); }
    void Write(const KAF::BString& text) override
    {
        m_wrote = m_wrote || text.length() > 0;
        m_out.Write(text);
    }
    bool Wrote() const { return m_wrote; }

private:
    KAF::ICmdStream& m_out;
    bool m_wrote = false;
};

// The events published while a line runs, kept for its report: those
// that say why it fails among its reasons too.
class BLineEvents : public KAF::IMessageSubscriber {
public:
    explicit BLineEvents(TLineReport& report) : m_report(report) {}
    void Inform(const KAF::BMessage& msg) override
    {
        m_report.events.emplace_back(msg.m_text.c_str(), msg.m_text.length());
        if (ExtFailureBeingReported())
            m_report.failures.push_back(m_report.events.back());
    }

private:
    TLineReport& m_report;
};

DLLExtAgents& Loaded(DLLExtAgents& registry, KAF::BFileNV& store)
{
    registry.Load(&store);
    return registry;
}

} // namespace

BHostCommands::BHostCommands(KAF::BFileNV& store)
    : m_store(store), m_configuration(store.m_fileName.c_str(), store.m_fileName.length()),
      m_startedMs(MonotonicMs()), m_handler(store, Loaded(m_registry, store))
{
    m_interpreter.Register(m_handler);
}

TLineOutcome BHostCommands::RunLine(const std::string& line, KAF::ICmdStream& out)
{
    const std::string switches = ActionSwitches(line);
    const bool reloads = m_pReloadWatcher != nullptr && switches.find('r') != std::string::npos;
    if (reloads)
        m_pReloadWatcher->ReloadStarts();
    m_wordsChanged = m_wordsChanged || !switches.empty();
    const TLineOutcome outcome = RunWatched(line, !switches.empty(), out);
    if (reloads)
        m_pReloadWatcher->ReloadEnded();
    return outcome;
}

TLineOutcome BHostCommands::RunWatched(const std::string& line, bool action, KAF::ICmdStream& out)
{
    BWatchedStream watched(out);
    const unsigned long failures = ExtFailureCount();
    TLineOutcome outcome = TLineOutcome::kFailed;
    try {
        outcome = m_interpreter.Execute(line, watched);
    } catch (const std::exception& e) {
        out.Write(KAF::BString((std::string("murox: command failed: ") + e.what() + "\n").c_str()));
        return TLineOutcome::kFailed;
    }
    const bool actionRefused = watched.Wrote() && action;
    if (outcome == TLineOutcome::kSucceeded && (actionRefused || ExtFailureCount() != failures))
        outcome = TLineOutcome::kFailed;
    return outcome;
}

TLineOutcome BHostCommands::RunJsonLine(const std::string& line, KAF::ICmdStream& out)
{
    TLineReport report;
    report.line = line;
    TLineOutcome outcome = TLineOutcome::kFailed;
    {
        BLineEvents events(report);
        KAF::BMessageDispatcher* pDispatcher = KAF::BMessageDispatcher::s_pInstance;
        std::unique_ptr<KAF::BSubscription> pHeard;
        if (pDispatcher != nullptr)
            pHeard = std::make_unique<KAF::BSubscription>(*pDispatcher, events);
        const TExtChangesUse noted(report.changes);
        BAnswerStream answer(report.answer);
        outcome = RunLine(line, answer);
    }
    report.ok = outcome != TLineOutcome::kFailed;
    out.Write(KAF::BString(
        LineReportJson(report, report.ok ? Facts(line) : nlohmann::ordered_json()).c_str()));
    return outcome;
}

nlohmann::ordered_json BHostCommands::Facts(const std::string& line)
{
    const std::vector<std::string> words = command::SplitWords(line);
    const CliEntry* pEntry = m_handler.CmdGetMap();
    const bool listing = !words.empty() && pEntry != nullptr && pEntry->cmdName != nullptr &&
                         words[0] == pEntry->cmdName && ActionSwitches(line).empty();
    const bool status = words.size() == 1 && words[0] == "status";
    nlohmann::ordered_json facts;
    if (status)
        facts["status"] = StatusJson(Status());
    if (status || listing)
        facts["libraries"] = Libraries();
    return facts;
}

nlohmann::ordered_json BHostCommands::Libraries()
{
    nlohmann::ordered_json libraries = nlohmann::ordered_json::array();
    const BExtCrashGuard* pGuard = CurrentExtCrashGuard();
    for (int i = 0; i < m_registry.NumExtAgents(); ++i) {
        const ExtAgent* pAgent = m_registry.ExtAgentAt(i);
        if (pAgent == nullptr)
            continue;
        const TExtFacts known = ExtFactsOf(*pAgent);
        const std::string name(pAgent->name.c_str(), pAgent->name.length());
        const bool failed = pAgent->loaded == 0 && (pAgent->status == kExtFailedToLoad ||
                                                    pAgent->status == kExtFailedToInit);
        nlohmann::ordered_json library;
        library["name"] = name;
        library["path"] = std::string(pAgent->path.c_str(), pAgent->path.length());
        library["web"] = std::string(pAgent->web.c_str(), pAgent->web.length());
        library["load"] = pAgent->load != 0 ? 1 : 0;
        library["status"] = ListingStatus(*pAgent);
        library["loaded"] = pAgent->loaded != 0;
        library["failure"] = failed && !known.failure.empty()
                                 ? nlohmann::ordered_json(known.failure)
                                 : nlohmann::ordered_json();
        library["set_aside"] = pAgent->loaded == 0 && pGuard != nullptr && pGuard->IsSetAside(name);
        library["loaded_since"] = pAgent->loaded != 0 && known.loadedSince != 0
                                      ? nlohmann::ordered_json(control::JsonTime(known.loadedSince))
                                      : nlohmann::ordered_json();
        libraries.push_back(std::move(library));
    }
    return libraries;
}

std::string BHostCommands::ActionSwitches(const std::string& line) const
{
    std::string switches;
    const std::vector<std::string> words = command::SplitWords(line);
    const CliEntry* pEntry = m_handler.CmdGetMap();
    if (words.empty() || pEntry == nullptr || pEntry->cmdName == nullptr ||
        words[0] != pEntry->cmdName)
        return switches;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const KAF::BString word(words[i].c_str());
        if (KAF::BCmdLineParser::IsSwitch(word) == 0)
            continue;
        char letter = 0;
        KAF::BString value;
        switches += KAF::BCmdLineParser::SplitSwitch(word, letter, value) ? letter : '?';
    }
    return switches;
}

bool BHostCommands::TakeWordsChanged()
{
    const bool changed = m_wordsChanged;
    m_wordsChanged = false;
    return changed;
}

bool BHostCommands::PublishingFailure() const
{
    return ExtFailureBeingReported();
}

void BHostCommands::Reload(KAF::ICmdStream& out)
{
    RunLine("xdll -r", out);
}

control::TCommandWords BHostCommands::CompletionWords()
{
    control::TCommandWords words = m_interpreter.Words();
    for (int i = 0; i < m_registry.NumExtAgents() && words.names.size() < control::kMaxWords; ++i) {
        const ExtAgent* pAgent = m_registry.ExtAgentAt(i);
        if (pAgent != nullptr)
            words.names.emplace_back(pAgent->name.c_str(), pAgent->name.length());
    }
    return words;
}

TDaemonStatus BHostCommands::Status()
{
    TDaemonStatus status;
    status.pid = static_cast<long>(getpid());
    status.startedMs = m_startedMs;
    status.nowMs = MonotonicMs();
    status.configuration = m_configuration;
    std::string ignored; // a malformed list is refused where it is read
    status.extensionDirs = JoinExtDirs(NamedExtDirs(m_store, ignored));
    const BExtCrashGuard* pGuard = CurrentExtCrashGuard();
    for (int i = 0; i < m_registry.NumExtAgents(); ++i) {
        const ExtAgent* pAgent = m_registry.ExtAgentAt(i);
        if (pAgent == nullptr)
            continue;
        CountLibrary(*pAgent, status);
        const std::string name(pAgent->name.c_str(), pAgent->name.length());
        if (pAgent->loaded == 0 && pGuard != nullptr && pGuard->IsSetAside(name))
            status.setAside.push_back(name);
    }
    if (m_fill)
        m_fill(status);
    return status;
}

TExtensionCounts BHostCommands::Extensions()
{
    TDaemonStatus status;
    for (int i = 0; i < m_registry.NumExtAgents(); ++i)
        if (const ExtAgent* pAgent = m_registry.ExtAgentAt(i))
            CountLibrary(*pAgent, status);
    TExtensionCounts counts;
    counts.loaded = status.loaded;
    counts.failed = status.failedToLoad + status.failedToInit;
    return counts;
}
