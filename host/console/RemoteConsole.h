// The operator's console to a running daemon, over its control socket.
#ifndef HOST_CONSOLE_REMOTECONSOLE_H
#define HOST_CONSOLE_REMOTECONSOLE_H

#include <chrono>
#include <string>
#include <vector>

#include "host/console/BDaemonConnection.h"

// Runs a console on `path`: the `lines` in order, or, without any, the
// lines of standard input (interactive on a terminal). Answers and events
// go to standard output as they arrive, answers piece by piece; when
// standard output is a terminal, control characters in them are shown
// as \xHH (see host/protocol/VisibleText.h), otherwise they are passed on
// byte for byte. Returns the exit status: 0 when done, 1 when no daemon
// answers, it has no room for another console or the connection is lost,
// kConsoleAccessRefused when access is refused: the socket's permissions
// keep this user out, the daemon refuses the console's credentials, or
// the socket is served by a process of neither root nor the console's
// user (each with one line on standard error; nothing is sent to an
// untrusted daemon, nor anything it sent shown). "quit" or the end of
// input leaves the console; the daemon runs on and is never sent "quit".
// Tab completes, on a terminal, from the words the daemon describes.
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
// daemon's version, pid and socket (made visible, on one line). Typed
// lines, "quit" and Ctrl-C are taken between any two frames, however many
// the daemon sends. Every reason a line failed goes to standard error:
// its answer, and the events the daemon marks as saying why it failed;
// standard output carries the answers of lines that succeeded and the
// other events. The status is then 3, after all the lines ran (1 still
// wins); a write error on standard output gives 1.
//
// An interactive console outlives its daemon: when the daemon goes away it
// says so and connects again as it comes back (pauses from 0.1 s growing to
// 2 s, 5 minutes in all), checking the new daemon as it checked the first
// (status 4 if access is refused) and keeping the line being typed; the
// answer to a line in flight is lost. Ctrl-C gives up, with status 1. A
// console of lines given or piped in ends with status 1 at once.
//
// A line that fails among lines given or piped in is named after its
// answer, on standard error ("murox: line 2 failed: LINE").
//
// With `follow`, no lines are read: every event is printed as it comes,
// after the local time (ISO 8601), until the console is interrupted. A
// daemon that goes away is waited for as an interactive console waits
// (on standard error; Ctrl-C then gives up, status 1).
//
// With `json` (lines given or piped in, or `follow`), each line's answer
// is its JSON object (murox(1), JSON OUTPUT) on standard output, whatever
// its outcome, and nothing else is printed there; a follower prints each
// event as an object.
//
// `patience` bounds the wait for the daemon to greet the console, to take
// what it sends, and to agree to a script's choice of events.
const int kConsoleAccessRefused = 4;

int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines, bool follow,
                     bool json = false,
                     std::chrono::milliseconds patience = BDaemonConnection::kPatience);

#endif
