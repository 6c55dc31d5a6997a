#include "host/server/DaemonSignals.h"

#include <csignal>
#include <cstring>
#include <string>

#include <sys/signalfd.h>
#include <unistd.h>

#include "host/registry/LogPriority.h"
#include "host/server/BAnswerStream.h"

BFd OpenDaemonSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&signals, signal);
    return BFd(sigprocmask(SIG_BLOCK, &signals, nullptr) == 0
                   ? signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC)
                   : -1);
}

int TakeDaemonSignals(int signalFd, ICommandRunner& runner)
{
    signalfd_siginfo info{};
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int signal = static_cast<int>(info.ssi_signo);
        if (signal != SIGHUP) {
            const char* szName = sigabbrev_np(signal);
            LogEventAt(TLogPriority::kNotice, "stopping on SIG%s",
                       szName != nullptr ? szName : "?");
            return signal;
        }
        LogEventAt(TLogPriority::kNotice, "SIGHUP: running \"xdll -r\"");
        std::string answer;
        BAnswerStream out(answer);
        runner.Reload(out);
        // "xdll -r" answers only when it could not run.
        if (!answer.empty())
            LogEventAt(TLogPriority::kWarning, "%s", answer.c_str());
    }
    return 0;
}
