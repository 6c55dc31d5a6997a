#include "host/console/RemoteConsole.h"

#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BConsoleSession.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/BSignalPipe.h"
#include "host/console/DaemonWait.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/JsonText.h"

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
        if (!connection.Send(screen.Json() ? control::kJsonLine : control::kLine, line, error))
            return screen.Lost(error);
        screen.LineSent(line);
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

// An event as the follower prints it: after the local time, or as an
// object with the time in UTC.
std::string Followed(const BConsoleScreen& screen, const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    if (screen.Json()) {
        nlohmann::ordered_json object = control::JsonObject();
        object["time"] = control::JsonTime(now);
        object["event"] = text;
        return control::JsonLine(object);
    }
    char stamp[64];
    std::tm local{};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z ", localtime_r(&now, &local));
    return stamp + screen.EventLine(text);
}

// A follower's daemon went away: waited for as the interactive console
// waits, Ctrl-C giving up meanwhile. kDaemonBack, or the exit status.
int AwaitFollowed(BDaemonConnection& connection, BConsoleScreen& screen)
{
    BSignalPipe signals;
    bool interrupted = false;
    const TInterrupts interrupts{signals.Fd(), [&] {
                                     interrupted = interrupted ||
                                                   signals.Drain().find(BSignalPipe::kInterrupt) !=
                                                       std::string::npos;
                                     return interrupted;
                                 }};
    TReconnectPolicy policy;
    policy.enabled = true;
    const int status = AwaitDaemon(connection, screen, policy, interrupts);
    if (status == kDaemonBack)
        screen.Remark("murox: following the daemon at " + connection.Path() + " again\n");
    return status;
}

// Every event as it comes, until interrupted or the daemon is not back in
// time.
int Follow(BDaemonConnection& connection, BConsoleScreen& screen)
{
    std::string error;
    control::TFrame frame;
    for (;;) {
        if (connection.Receive(frame, error, TClock::time_point::max()) !=
            BDaemonConnection::kReceived) {
            screen.Remark("murox: " + error + "\n");
        } else if (frame.type == control::kFarewell) {
            screen.Remark(frame.payload);
        } else {
            if (frame.type == control::kEvent)
                screen.Print(Followed(screen, frame.payload));
            if (std::ferror(stdout) != 0)
                return screen.Status();
            continue;
        }
        const int status = AwaitFollowed(connection, screen);
        if (status != kDaemonBack)
            return status;
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
    const TClock::time_point deadline = TClock::now() + connection.Patience();
    control::TFrame frame;
    do {
        const BDaemonConnection::TResult result = connection.Receive(frame, error, deadline);
        if (result == BDaemonConnection::kTimedOut)
            return screen.Lost("the daemon at " + connection.Path() + " did not answer within " +
                               SecondsText(connection.Patience()));
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

int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines, bool follow,
                     bool json, std::chrono::milliseconds patience)
{
    BConsoleScreen screen(StandardOutput());
    screen.SetJson(json);
    BDaemonConnection connection(patience);
    std::string error;
    if (!connection.Connect(path, error)) {
        screen.Lost(error);
        return connection.Untrusted() || connection.Refused() ? kConsoleAccessRefused : 1;
    }
    if (follow)
        return Follow(connection, screen);
    const bool interactive = lines.empty() && isatty(STDIN_FILENO) != 0;
    screen.NameFailedLines(lines.size() > 1 || (lines.empty() && !interactive));
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
