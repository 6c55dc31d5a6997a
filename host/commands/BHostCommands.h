// The host's command side, the same for the shell and the daemon: the
// registry brought in line with the store, the "xdll" handler, and the
// interpreter that routes lines to it.
#ifndef HOST_COMMANDS_BHOSTCOMMANDS_H
#define HOST_COMMANDS_BHOSTCOMMANDS_H

#include <functional>
#include <string>
#include <utility>

#include "host/commands/BCmdInterpreter.h"
#include "host/server/DaemonStatus.h"
#include "host/server/ICommandRunner.h"
#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"
#include "xdll/XDllCmdHndlr.h"

class BHostCommands : public ICommandRunner {
public:
    // Loads the extension libraries the store configures; the store must
    // outlive this object. Destroying it unloads them, last configured first.
    explicit BHostCommands(KAF::BFileNV& store);

    BCmdInterpreter& Interpreter() { return m_interpreter; }

    // What "status" says: this process's facts and its libraries', then
    // whatever `fill` adds (the daemon's server: its own facts); until
    // then, the shell's, with the time since this object was made.
    void SetStatusSource(std::function<void(TDaemonStatus&)> fill) { m_fill = std::move(fill); }
    TDaemonStatus Status();

    // Runs the line; a command that throws is reported at the end of its
    // answer. Beyond what the interpreter says, a line failed when an
    // "xdll" action wrote anything (its actions write only to say why they
    // could not act) or the registry reported a failure while it ran.
    TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) override;
    // Runs the line as RunLine does, and writes its JSON object instead of
    // its answer: the events it caused (collected from the process's
    // dispatcher while it runs), what the registry changed meanwhile, and
    // for a listing or "status" their facts, every library's among them.
    TLineOutcome RunJsonLine(const std::string& line, KAF::ICmdStream& out) override;
    // Runs "xdll -r".
    void Reload(KAF::ICmdStream& out) override;
    // Tells `pWatcher` (or nobody, when null) before and after each line
    // that re-reads the configuration: an "xdll" line with a -r switch.
    void WatchReloads(IReloadWatcher* pWatcher) { m_pReloadWatcher = pWatcher; }
    // The interpreter's words, then the registry's names in its order, as
    // many as control::kMaxWords allows.
    control::TCommandWords CompletionWords() override;
    // True after an "xdll" line with a switch (an action may add, remove or
    // re-read libraries, whose names are words), and at first.
    bool TakeWordsChanged() override;
    // A failure the registry reports.
    bool PublishingFailure() const override;
    // Libraries loaded now; failed: a status of failed to load or to init.
    TExtensionCounts Extensions() override;

private:
    // The letters of the switches of an "xdll" line, '?' for one without
    // a letter; empty for any other line.
    std::string ActionSwitches(const std::string& line) const;
    TLineOutcome RunWatched(const std::string& line, bool action, KAF::ICmdStream& out);
    // The "libraries" of a listing or "status", and the "status" of the
    // latter, as JSON fields; null for any other line.
    nlohmann::ordered_json Facts(const std::string& line);
    nlohmann::ordered_json Libraries();

    const KAF::BFileNV& m_store;
    const std::string m_configuration;
    const long long m_startedMs;
    std::function<void(TDaemonStatus&)> m_fill;
    DLLExtAgents m_registry;
    XDllCmdHndlr m_handler;
    BCmdInterpreter m_interpreter{[this] { return StatusLines(Status()); }};
    IReloadWatcher* m_pReloadWatcher = nullptr;
    bool m_wordsChanged = true;
};

#endif
