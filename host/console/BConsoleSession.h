// An interactive console's session with the daemon: the loop that reads
// the operator's lines and shows what the daemon sends.
#ifndef HOST_CONSOLE_BCONSOLESESSION_H
#define HOST_CONSOLE_BCONSOLESESSION_H

#include <deque>
#include <string>

#include "host/console/BConsoleScreen.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/BLineReader.h"
#include "host/console/DaemonWait.h"
#include "host/protocol/CommandWords.h"

// Lines from standard input, one in flight at a time. Events are shown as
// they arrive, above the line being typed; an answer is shown as it
// arrives, then the prompt again. Tab completes from the words the daemon
// last described, without asking it: a daemon that is slow to answer
// holds up no key.
//
// With reconnection enabled, a daemon that goes away (it closed the
// connection, said farewell or broke the protocol) is waited for as the
// policy says: the console says so, keeps the line being typed and the
// lines typed ahead, checks the daemon that answers as it checked the
// first, greets the operator again and goes on. The answer to a line in
// flight is lost, and said to be; the line is not sent again.
class BConsoleSession {
public:
    BConsoleSession(BDaemonConnection& connection, BConsoleScreen& screen,
                    const TReconnectPolicy& policy = TReconnectPolicy());
    BConsoleSession(const BConsoleSession&) = delete;
    BConsoleSession& operator=(const BConsoleSession&) = delete;

    // Until "quit", the end of the input or of the connection; returns the
    // exit status, as RunRemoteConsole says.
    int Run();

private:
    static const int kGoOn = -1;

    // Sends the next line typed, unless one is in flight. kGoOn, or the
    // exit status once the operator leaves.
    int SendNext();
    // Waits for something to happen and handles it: kGoOn, or the exit
    // status once the session ends.
    int Turn();
    int TakeFrame();
    // False when the session ends: after a farewell (said, `error` empty)
    // or an answer to no line (`error` says so).
    bool OnFrame(const control::TFrame& frame, std::string& error);
    bool OnAnswer(const control::TFrame& piece, std::string& error);
    // The daemon went away, for `error` (empty when said already): kGoOn
    // once another serves the socket, else the exit status.
    int Lost(const std::string& error);
    void OnFailureEvent(const std::string& text);
    void OnInterrupt();

    BDaemonConnection& m_connection;
    BConsoleScreen& m_screen;
    TReconnectPolicy m_policy;
    control::TCommandWords m_words; // what Tab completes
    BLineReader m_reader;
    std::deque<std::string> m_queued; // lines read, not yet sent
    bool m_waiting = false;           // for the answer to the line sent
    bool m_inputDone = false;
    // Answers still to come to lines whose wait was abandoned.
    unsigned m_abandoned = 0;
};

#endif
