// What the control server runs consoles' lines on: the host's interpreter
// and registry.
#ifndef HOST_SERVER_ICOMMANDRUNNER_H
#define HOST_SERVER_ICOMMANDRUNNER_H

#include <string>

#include "host/protocol/CommandWords.h"
#include "host/service/IReloadWatcher.h"
#include "host/service/ServiceStatus.h"
#include "hostapi/ICmdStream.h"

// What became of a line.
enum class TLineOutcome {
    kSucceeded,
    kFailed, // refused, or what it asked for did not happen
    kLeave   // it asks to leave ("quit")
};

class ICommandRunner {
public:
    virtual ~ICommandRunner() = default;
    // Runs one line, writing its answer to `out`. After kLeave, the console
    // that sent it is closed once it has the answer.
    virtual TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) = 0;
    // Runs one line as RunLine does, writing instead its JSON object
    // (host/server/LineReport.h). This one knows the line's answer alone.
    virtual TLineOutcome RunJsonLine(const std::string& line, KAF::ICmdStream& out);
    // Re-reads the configuration and brings the loaded libraries in line
    // with it, as the operator's reload does, writing its answer to `out`.
    virtual void Reload(KAF::ICmdStream& out) = 0;
    // The words a console completes, as they are now.
    virtual control::TCommandWords CompletionWords() = 0;
    // Whether the words may have changed since this was last asked: the
    // server makes and compares them only then, not after every line.
    virtual bool TakeWordsChanged() { return true; }
    // Whether the event being published now, while a line runs, says why
    // that line fails (rather than what else it caused).
    virtual bool PublishingFailure() const { return false; }
    // The extension libraries loaded and failed, as they are now.
    virtual TExtensionCounts Extensions() = 0;
};

#endif
