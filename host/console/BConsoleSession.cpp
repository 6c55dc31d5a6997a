#include "host/console/BConsoleSession.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>

#include "host/console/CommandCompletion.h"
#include "host/protocol/CommandGrammar.h"

namespace {

const char kPrompt[] = "murox> ";

} // namespace

BConsoleSession::BConsoleSession(BDaemonConnection& connection, BConsoleScreen& screen)
    : m_connection(connection), m_screen(screen),
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
    if (!m_connection.Send(control::kLine, line, error))
        return m_screen.Lost(error);
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
    if (result == BDaemonConnection::kLost) {
        m_reader.HidePrompt();
        return m_screen.Lost(error);
    }
    if (result == BDaemonConnection::kReceived && !OnFrame(frame, error)) {
        m_reader.HidePrompt();
        return error.empty() ? 1 : m_screen.Lost(error);
    }
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
        m_reader.PrintAbove(m_screen.EventLine(frame.payload));
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
