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
#include "host/program/BTerminalText.h"
#include "host/program/MuroxExit.h"
#include "host/program/MuroxGuard.h"
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

} // namespace

int RunSession(const TMuroxOptions& options, KAF::BFileNV& store)
{
    // Before the libraries load, after they unload: their events are shown too.
    BTerminalText terminal;
    const std::unique_ptr<BExtCrashGuard> pGuard = OpenCrashGuard(options.configPath);
    const TExtCrashGuardUse guarded(pGuard.get());
    BHostCommands commands(store);
    bool failed = false;
    std::string answer;
    const auto run = [&](const std::string& line) {
        answer.clear();
        BAnswerStream out(answer);
        const TLineOutcome outcome = commands.RunLine(line, out);
        WriteAnswer(answer, outcome);
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

int AfterStandardOutput(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "murox: cannot write to standard output: %s\n", std::strerror(errno));
        return kFailure;
    }
    return status;
}
