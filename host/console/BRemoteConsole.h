// The operator's console to a running daemon, over its control socket.
#ifndef HOST_CONSOLE_BREMOTECONSOLE_H
#define HOST_CONSOLE_BREMOTECONSOLE_H

#include <chrono>
#include <string>
#include <vector>

#include "host/protocol/ControlProtocol.h"

// One connection to the daemon, driven by the console's loop.
class BRemoteConsole {
public:
    using TClock = std::chrono::steady_clock;

    // How long the daemon may take to greet a console, and to take what
    // the console sends: a daemon that is stopped or stuck is given up.
    static constexpr int kPatienceSeconds = 10;

    BRemoteConsole() = default;
    BRemoteConsole(const BRemoteConsole&) = delete;
    BRemoteConsole& operator=(const BRemoteConsole&) = delete;
    ~BRemoteConsole();

    // Connects and waits for the daemon's greeting, kPatienceSeconds at
    // most. False, with one line for the operator in `error`, when nothing
    // answers at `path`, access is refused, the peer does not speak the
    // protocol or does not greet in time.
    bool Connect(const std::string& path, std::string& error);
    // The greeting's words after the protocol's name: the daemon's pid and
    // version.
    const std::string& Greeting() const { return m_greeting; }

    int Fd() const { return m_fd; }

    // Sends a frame, waiting until the socket took it. False, with the
    // reason in `error`, when the daemon is gone or took nothing for
    // kPatienceSeconds.
    bool Send(char type, const std::string& payload, std::string& error);

    enum TResult { kReceived, kTimedOut, kLost };
    // The next frame, or piece of an answer (see BFrameReader), waiting for
    // it until `deadline` at most: TClock::time_point::max() waits as long
    // as it takes, a time already past reads only what has arrived.
    // kLost, with the reason in `error`, when the connection closed or the
    // daemon sent a malformed frame; a farewell ('X') is a frame.
    TResult Receive(control::TFrame& frame, std::string& error, TClock::time_point deadline);
    // Whether a frame has arrived already (Receive will not wait).
    bool HasFrame() const { return m_reader.Ready(); }

private:
    int m_fd = -1;
    std::string m_path;
    std::string m_greeting;
    control::BFrameReader m_reader = control::BFrameReader::FromDaemon();
};

// Runs a console on `path`: the `lines` in order, or, without any, the
// lines of standard input (interactive on a terminal). Answers and events
// go to standard output as they arrive, answers piece by piece; when
// standard output is a terminal, control characters in them are shown
// as \xHH (see host/protocol/VisibleText.h), otherwise they are passed on
// byte for byte. Returns the exit status: 0 when done, 1 when no daemon
// answers, access is refused or the connection is lost (with one line on
// standard error). "quit" or the end of input leaves the console; the
// daemon runs on and is never sent "quit".
//
// With standard input on a terminal, Ctrl-C while a line's answer is
// awaited abandons the wait: the console says so and takes the next line;
// the daemon still runs the abandoned line, the events it causes are shown
// as they come and its answer is dropped when it arrives (answers come in
// the order of the lines, so the console knows which one it is). With
// lines given, the console waits for each answer as long as it takes.
//
// Lines given or piped in are sent only the events they cause; an
// interactive console is sent every event and greets its operator with the
// daemon's version, pid and socket. The answer of a line that failed goes
// to standard error, and the status is then 3, after all the lines ran
// (1 still wins); a write error on standard output gives 1.
//
// With `follow`, no lines are read: every event is printed as it comes,
// after the local time (ISO 8601), until the console is interrupted or the
// daemon stops.
int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines, bool follow);

#endif
