#include "host/program/MuroxSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "host/commands/BHostCommands.h"
#include "host/console/BLineReader.h"
#include "host/console/CommandCompletion.h"
#include "host/program/BEventsAside.h"
#include "host/program/BTerminalText.h"
#include "host/program/MuroxExit.h"
#include "host/program/MuroxGuard.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/VisibleText.h"
#include "host/server/BAnswerStream.h"

namespace {

// Writes a line's answer where its outcome says: standard error for a line
// that failed, else standard output (after the events the line caused,
// which the sink wrote there already).
// On a terminal, both show the answer made visible: standard output
// through BTerminalText, standard error here.
void WriteAnswer(const std::string& answer, TLineOutcome outcome)
{
    if (outcome == TLineOutcome::kFailed) {
        std::fflush(stdout);
        const std::string shown =
            isatty(STDERR_FILENO) != 0 ? control::VisibleText(answer) : answer;
        std::fwrite(shown.data(), 1, shown.size(), stderr);
    } else {
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fflush(stdout);
    }
}

// Whether a line that fails is named after its answer: among lines given
// or piped in, where nobody sees which one it was.
bool NamesFailedLines(const TMuroxOptions& options)
{
    return options.lines.size() > 1 || (options.lines.empty() && isatty(STDIN_FILENO) == 0);
}

// The -e lines, or standard input's (not a terminal: --json refuses
// one), each run by `run` until it returns false.
template <typename TRun> void RunLines(const TMuroxOptions& options, TRun run)
{
    if (!options.lines.empty()) {
        for (const std::string& line : options.lines)
            if (!run(line))
                return;
        return;
    }
    BLineReader reader("", "", CommandCompleter([] { return control::TCommandWords(); }));
    std::string line;
    while (reader.ReadLine(line) && run(line)) {
    }
}

// The JSON mode: each line's object on standard output, nothing else there.
int RunJsonSession(const TMuroxOptions& options, KAF::BFileNV& store)
{
    BEventsAside aside;
    if (!aside.Install()) {
        std::fprintf(stderr, "murox: --json: cannot set standard output aside for the objects\n");
        return kFailure;
    }
    const std::unique_ptr<BExtCrashGuard> pGuard = OpenCrashGuard(options.configPath);
    const TExtCrashGuardUse guarded(pGuard.get());
    BHostCommands commands(store);
    bool failed = false;
    std::string object;
    RunLines(options, [&](const std::string& line) {
        if (command::IsQuit(line))
            return false;
        object.clear();
        BAnswerStream out(object);
        aside.Mute(true);
        failed = commands.RunJsonLine(line, out) == TLineOutcome::kFailed || failed;
        aside.Mute(false);
        std::fwrite(object.data(), 1, object.size(), aside.Objects());
        std::fflush(aside.Objects());
        return true;
    });
    return AfterStandardOutput(failed ? kLineFailed : 0, aside.Objects());
}

} // namespace

int RunSession(const TMuroxOptions& options, KAF::BFileNV& store)
{
    if (options.json)
        return RunJsonSession(options, store);
    // Before the libraries load, after they unload: their events are shown too.
    BTerminalText terminal;
    const std::unique_ptr<BExtCrashGuard> pGuard = OpenCrashGuard(options.configPath);
    const TExtCrashGuardUse guarded(pGuard.get());
    BHostCommands commands(store);
    bool failed = false;
    std::string answer;
    const bool name = NamesFailedLines(options);
    unsigned long number = 0;
    const auto run = [&](const std::string& line) {
        answer.clear();
        BAnswerStream out(answer);
        const TLineOutcome outcome = commands.RunLine(line, out);
        WriteAnswer(answer, outcome);
        ++number;
        if (outcome == TLineOutcome::kFailed && name)
            std::fprintf(stderr, "murox: line %lu failed: %s\n", number,
                         control::VisibleLine(line).c_str());
        failed = failed || outcome == TLineOutcome::kFailed;
        return outcome != TLineOutcome::kLeave;
    };
    if (!options.lines.empty()) {
        for (const std::string& line : options.lines)
            if (!run(line))
                break;
    } else {
        // The line editor keeps the stream it is made with, and draws on
        // the terminal itself: it is made and run with stdout unescaped.
        terminal.Pause();
        BLineReader reader("murox> ", MuroxHistoryPath(),
                           CommandCompleter([&commands] { return commands.CompletionWords(); }));
        std::string line;
        for (;;) {
            terminal.Pause();
            const bool read = reader.ReadLine(line);
            terminal.Resume();
            if (!read || !run(line))
                break;
        }
    }
    return AfterStandardOutput(failed ? kLineFailed : 0);
}

int AfterStandardOutput(int status, std::FILE* pOut)
{
    if (std::fflush(pOut) != 0 || std::ferror(pOut) != 0) {
        std::fprintf(stderr, "murox: cannot write to standard output: %s\n", std::strerror(errno));
        return kFailure;
    }
    return status;
}
