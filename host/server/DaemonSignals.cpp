#include "host/server/DaemonSignals.h"

#include <csignal>
#include <cstring>
#include <string>

#include <sys/signalfd.h>
#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
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
            MuroxLogEvent("stopping on SIG%s", szName != nullptr ? szName : "?");
            return signal;
        }
        MuroxLogEvent("SIGHUP: running \"xdll -r\"");
        std::string answer;
        BAnswerStream out(answer);
        runner.Reload(out);
        if (!answer.empty())
            MuroxLogEvent("%s", answer.c_str());
    }
    return 0;
}
