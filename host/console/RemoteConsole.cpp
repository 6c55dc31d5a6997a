#include "host/console/RemoteConsole.h"

#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BConsoleSession.h"
#include "host/console/BDaemonConnection.h"
#include "host/protocol/CommandGrammar.h"

namespace {

using TClock = BDaemonConnection::TClock;

// Sends each line and prints what arrives up to its answer's last piece,
// however long the daemon takes.
int RunLines(BDaemonConnection& connection, BConsoleScreen& screen,
             const std::vector<std::string>& lines)
{
    std::string error;
    for (const std::string& line : lines) {
        if (command::IsQuit(line))
            break;
        if (!connection.Send(control::kLine, line, error))
            return screen.Lost(error);
        control::TFrame frame;
        do {
            if (connection.Receive(frame, error, TClock::time_point::max()) !=
                BDaemonConnection::kReceived)
                return screen.Lost(error);
            if (!screen.Show(frame))
                return 1;
        } while (!IsAnswer(frame) || frame.more);
    }
    return screen.Status();
}

// Every event as it comes, after the local time, until the daemon stops.
int Follow(BDaemonConnection& connection, BConsoleScreen& screen)
{
    std::string error;
    control::TFrame frame;
    for (;;) {
        if (connection.Receive(frame, error, TClock::time_point::max()) !=
            BDaemonConnection::kReceived)
            return screen.Lost(error);
        if (frame.type == control::kFarewell) {
            screen.Remark(frame.payload);
            return 1;
        }
        if (frame.type != control::kEvent)
            continue;
        char stamp[64];
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z ", localtime_r(&now, &local));
        screen.Print(stamp + screen.EventLine(frame.payload));
        if (std::ferror(stdout) != 0)
            return screen.Status();
    }
}

// A script's lines are answered with what they cause, and only that: the
// events that come before the daemon agrees are passed over. 0 once it
// agreed, else the exit status, the reason said.
int AskOwnEvents(BDaemonConnection& connection, BConsoleScreen& screen)
{
    std::string error;
    if (!connection.Send(control::kEvents, control::kOwnEvents, error))
        return screen.Lost(error);
    const TClock::time_point deadline =
        TClock::now() + std::chrono::seconds(BDaemonConnection::kPatienceSeconds);
    control::TFrame frame;
    do {
        const BDaemonConnection::TResult result = connection.Receive(frame, error, deadline);
        if (result == BDaemonConnection::kTimedOut)
            return screen.Lost("the daemon at " + connection.Path() + " did not answer within " +
                               std::to_string(BDaemonConnection::kPatienceSeconds) + " seconds");
        if (result != BDaemonConnection::kReceived)
            return screen.Lost(error);
        if (frame.type == control::kFarewell) {
            screen.Remark(frame.payload);
            return 1;
        }
        if (IsAnswer(frame))
            return screen.Lost("the daemon sent an answer to no line");
    } while (frame.type != control::kEvents);
    return 0;
}

} // namespace

int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines, bool follow)
{
    BConsoleScreen screen(StandardOutput());
    BDaemonConnection connection;
    std::string error;
    if (!connection.Connect(path, error)) {
        screen.Lost(error);
        return connection.Untrusted() || connection.Refused() ? kConsoleAccessRefused : 1;
    }
    if (follow)
        return Follow(connection, screen);
    const bool interactive = lines.empty() && isatty(STDIN_FILENO) != 0;
    if (!interactive) {
        const int status = AskOwnEvents(connection, screen);
        if (status != 0)
            return status;
    }
    if (!lines.empty())
        return RunLines(connection, screen, lines);
    if (interactive)
        screen.Greet(connection.Path(), connection.Greeting());
    // A script's console ends with its daemon; an operator's waits for the
    // next one.
    TReconnectPolicy policy;
    policy.enabled = interactive;
    BConsoleSession session(connection, screen, policy);
    return session.Run();
}
