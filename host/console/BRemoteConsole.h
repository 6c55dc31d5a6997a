// The operator's console to a running daemon, over its control socket.
#ifndef HOST_CONSOLE_BREMOTECONSOLE_H
#define HOST_CONSOLE_BREMOTECONSOLE_H

#include <string>
#include <vector>

#include "host/protocol/ControlProtocol.h"

// One connection to the daemon, driven by the console's loop.
class BRemoteConsole {
public:
    BRemoteConsole() = default;
    BRemoteConsole(const BRemoteConsole&) = delete;
    BRemoteConsole& operator=(const BRemoteConsole&) = delete;
    ~BRemoteConsole();

    // Connects and waits for the daemon's greeting. False, with one line
    // for the operator in `error`, when nothing answers at `path`, access
    // is refused, or the peer does not speak the protocol.
    bool Connect(const std::string& path, std::string& error);

    int Fd() const { return m_fd; }

    // Sends a frame, waiting until the socket took it. False when the
    // daemon is gone.
    bool Send(char type, const std::string& payload);
    // Waits for the next frame. False, with the reason in `error`, when
    // the connection closed or the daemon sent a malformed frame; a
    // farewell ('X') is returned as a frame.
    bool Receive(control::TFrame& frame, std::string& error);
    // Whether a whole frame has arrived already (Receive will not wait).
    bool HasFrame() const { return m_reader.Ready(); }

private:
    int m_fd = -1;
    std::string m_path;
    control::BFrameReader m_reader{"HAVWX", true};
};

// Runs a console on `path`: the `lines` in order, or, without any, the
// lines of standard input (interactive on a terminal). Answers and events
// go to standard output as they arrive. Returns the exit status: 0 when
// done, 1 when no daemon answers, access is refused or the connection is
// lost (with one line on standard error). "quit" or the end of input
// leaves the console; the daemon runs on.
int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines);

#endif
