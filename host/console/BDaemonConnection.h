// A console's connection to the daemon: the control socket, the greeting,
// and frames sent and received.
#ifndef HOST_CONSOLE_BDAEMONCONNECTION_H
#define HOST_CONSOLE_BDAEMONCONNECTION_H

#include <chrono>
#include <string>

#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"

class BDaemonConnection {
public:
    using TClock = std::chrono::steady_clock;

    // How long the daemon may take to greet a console, and to take what
    // the console sends: a daemon that is stopped or stuck is given up.
    static constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(10);

    explicit BDaemonConnection(std::chrono::milliseconds patience = kPatience)
        : m_patience(patience)
    {
    }
    BDaemonConnection(const BDaemonConnection&) = delete;
    BDaemonConnection& operator=(const BDaemonConnection&) = delete;

    // Connects, checks who serves the socket, and waits for the daemon's
    // greeting, Patience() at most. False, with one line for the
    // operator in `error`, when nothing answers at `path`, access is
    // refused, the peer is not trusted (Untrusted()), does not speak the
    // protocol or does not greet in time; the connection is closed then.
    // Connecting again drops the last connection and what it left unread.
    // The wait for the greeting also ends, as a failure, once
    // `interruptFd` (when not -1) polls readable; it is not read.
    bool Connect(const std::string& path, std::string& error, int interruptFd = -1);
    // Whether Connect failed because the peer runs as neither root nor the
    // console's user (what the kernel says of it): nothing was read from
    // it, nor sent to it.
    bool Untrusted() const { return m_untrusted; }
    // Whether Connect failed because access was refused: the socket's
    // permissions kept this user out, or the daemon refused the console's
    // credentials (not for a lack of room, which passes).
    bool Refused() const { return m_refused; }
    // The greeting's words after the protocol's name: the daemon's pid and
    // version.
    const std::string& Greeting() const { return m_greeting; }
    // The socket's path, as the operator is told of it.
    const std::string& Path() const { return m_path; }
    std::chrono::milliseconds Patience() const { return m_patience; }

    int Fd() const { return m_fd.Get(); }

    // Sends a frame, waiting until the socket took it. False, with the
    // reason in `error`, when the daemon is gone or took nothing for
    // Patience().
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
    static constexpr std::size_t kLastWordsBytes = 1 << 20;

    bool Open(const std::string& path, std::string& error);
    bool Trusted(std::string& error);
    bool Greeted(std::string& error);
    std::string ClosedReason();
    // Waits for the socket to be readable until `deadline`; 0 when it is
    // not by then, -1 (with `error`) when poll fails.
    int AwaitInput(TClock::time_point deadline, std::string& error) const;

    const std::chrono::milliseconds m_patience;
    BFd m_fd;
    std::string m_path;
    std::string m_greeting;
    bool m_untrusted = false;
    bool m_refused = false;
    int m_interruptFd = -1; // while connecting
    control::BFrameReader m_reader = control::BFrameReader::FromDaemon();
};

// The greeting's words after the protocol's name (the daemon's pid and
// version) from `frame`, the first a daemon at `path` sent. False, with one
// line for the operator in `error`, for a farewell (its reason) or a frame
// that is no greeting.
bool TakeGreeting(const control::TFrame& frame, const std::string& path, std::string& greeting,
                  std::string& error);

// A wait as the operator is told of it: "10 seconds", "0.3 seconds".
std::string SecondsText(std::chrono::milliseconds wait);

#endif
