#include "host/console/BConsoleSession.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>

#include "host/console/CommandCompletion.h"
#include "host/console/RemoteConsole.h"
#include "host/protocol/CommandGrammar.h"

namespace {

const char kPrompt[] = "murox> ";

} // namespace

BConsoleSession::BConsoleSession(BDaemonConnection& connection, BConsoleScreen& screen,
                                 const TReconnectPolicy& policy)
    : m_connection(connection), m_screen(screen), m_policy(policy),
      m_reader(kPrompt, MuroxHistoryPath(), CommandCompleter([this] { return m_words; }))
{
}

int BConsoleSession::Run()
{
    m_reader.CatchInterrupts();
    m_reader.ShowPrompt();
    int status = kGoOn;
    while (status == kGoOn) {
        if (!m_waiting && !m_queued.empty())
            status = SendNext();
        else if (!m_waiting && m_inputDone)
            status = m_screen.Status();
        else
            status = Turn();
    }
    return status;
}

int BConsoleSession::SendNext()
{
    const std::string line = std::move(m_queued.front());
    m_queued.pop_front();
    // The console leaves without a word to the daemon, which runs on.
    if (command::IsQuit(line))
        return m_screen.Status();
    std::string error;
    if (!m_connection.Send(m_screen.Json() ? control::kJsonLine : control::kLine, line, error)) {
        // No daemon took it: it waits for the next one.
        m_queued.push_front(line);
        return Lost(error);
    }
    m_screen.LineSent(line);
    m_waiting = true;
    return kGoOn;
}

int BConsoleSession::Turn()
{
    pollfd fds[3] = {{m_connection.Fd(), POLLIN, 0},
                     {m_inputDone ? -1 : m_reader.Fd(), POLLIN, 0},
                     {m_reader.InterruptFd(), POLLIN, 0}};
    // The operator's keys and Ctrl-C are looked at before each frame: a
    // daemon that floods the console with events holds up neither.
    const int timeout = m_connection.HasFrame() ? 0 : -1;
    if (poll(fds, 3, timeout) < 0) {
        if (errno != EINTR)
            return m_screen.Lost(std::string("poll failed: ") + std::strerror(errno));
        return kGoOn;
    }
    if ((fds[2].revents & POLLIN) && m_reader.TakeInterrupt()) {
        OnInterrupt();
        return kGoOn;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        std::vector<std::string> lines;
        m_inputDone = !m_reader.Read(lines);
        m_queued.insert(m_queued.end(), lines.begin(), lines.end());
        // A line typed goes out, or "quit" leaves, before the next frame.
        if (!m_waiting && !m_queued.empty())
            return kGoOn;
    }
    if (m_connection.HasFrame() || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
        return TakeFrame();
    return kGoOn;
}

// The next frame, without waiting for one.
int BConsoleSession::TakeFrame()
{
    std::string error;
    control::TFrame frame;
    const BDaemonConnection::TResult result =
        m_connection.Receive(frame, error, BDaemonConnection::TClock::time_point::min());
    if (result == BDaemonConnection::kLost ||
        (result == BDaemonConnection::kReceived && !OnFrame(frame, error)))
        return Lost(error);
    return kGoOn;
}

int BConsoleSession::Lost(const std::string& error)
{
    m_reader.HidePrompt();
    const bool more = !m_inputDone || !m_queued.empty();
    if (!m_policy.enabled || !more)
        return error.empty() ? 1 : m_screen.Lost(error);
    if (!error.empty())
        m_screen.Remark("murox: " + error + "\n");
    if (m_waiting) {
        m_screen.CutAnswer();
        m_screen.Remark("murox: the answer to the line sent is lost; the daemon may have run it\n");
    }
    m_waiting = false;
    m_abandoned = 0;
    // The prompt stays hidden meanwhile, so that Ctrl-C is the console's
    // and keys wait unread.
    const TInterrupts interrupts{m_reader.InterruptFd(),
                                 [this] { return m_reader.TakeInterrupt(); }};
    const int status = AwaitDaemon(m_connection, m_screen, m_policy, interrupts);
    if (status != kDaemonBack)
        return status;
    m_screen.Greet(m_connection.Path(), m_connection.Greeting());
    if (m_queued.empty() && !m_inputDone)
        m_reader.ShowPrompt();
    return kGoOn;
}

bool BConsoleSession::OnFrame(const control::TFrame& frame, std::string& error)
{
    switch (frame.type) {
    case control::kFarewell:
        m_reader.HidePrompt();
        m_screen.Remark(frame.payload);
        return false;
    case control::kEvent:
        // A JSON line's object holds its events.
        if (!m_screen.Json())
            m_reader.PrintAbove(m_screen.EventLine(frame.payload));
        return true;
    case control::kFailureEvent:
        OnFailureEvent(frame.payload);
        return true;
    case control::kWords:
        m_words = control::DecodeWords(frame.payload);
        return true;
    case control::kAnswer:
    case control::kFailed:
        return OnAnswer(frame, error);
    default:
        return true;
    }
}

bool BConsoleSession::OnAnswer(const control::TFrame& piece, std::string& error)
{
    if (m_abandoned > 0) {
        if (!piece.more)
            --m_abandoned;
        return true;
    }
    if (!m_waiting) {
        error = "the daemon sent an answer to no line";
        return false;
    }
    // While a line is in flight the prompt is hidden: the answer goes out
    // as the command wrote it.
    m_screen.Answer(piece);
    if (!piece.more) {
        m_waiting = false;
        if (m_queued.empty() && !m_inputDone)
            m_reader.ShowPrompt();
    }
    return true;
}

// Why a line fails goes where its answer goes, standard error; with the
// prompt shown (the line's wait was abandoned), below it, drawn again.
void BConsoleSession::OnFailureEvent(const std::string& text)
{
    if (m_screen.Json())
        return;
    const bool promptShown = !m_waiting && m_queued.empty() && !m_inputDone;
    if (promptShown)
        m_reader.HidePrompt();
    m_screen.FailureEvent(text);
    if (promptShown)
        m_reader.ShowPrompt();
}

// Ctrl-C: the wait for the answer is abandoned, with the lines typed ahead
// (the terminal drops them too); at a plain prompt, the line being typed.
void BConsoleSession::OnInterrupt()
{
    // Past the terminal's own "^C".
    m_screen.Print("\n");
    if (m_waiting) {
        m_screen.CutAnswer();
        ++m_abandoned;
        m_waiting = false;
        m_queued.clear();
        m_screen.Remark("murox: answer abandoned; the daemon still runs the line\n");
    }
    if (!m_inputDone)
        m_reader.ShowPrompt();
}
