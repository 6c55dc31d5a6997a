#include "host/console/BConsoleSession.h"

#include <algorithm>
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
    if (!m_connection.Send(control::kLine, line, error)) {
        // No daemon took it: it waits for the next one.
        m_queued.push_front(line);
        return Lost(error);
    }
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
    const int status = Reconnect();
    if (status == kGoOn && m_queued.empty() && !m_inputDone)
        m_reader.ShowPrompt();
    return status;
}

// Bounded waits, growing, until a daemon greets; the prompt stays hidden
// meanwhile, so that Ctrl-C is the console's and keys wait unread.
int BConsoleSession::Reconnect()
{
    m_screen.Remark("murox: waiting for the daemon to come back (Ctrl-C gives up)\n");
    const auto start = BDaemonConnection::TClock::now();
    long long delayMs = m_policy.firstDelayMs;
    for (;;) {
        const long long leftMs =
            m_policy.giveUpMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                    BDaemonConnection::TClock::now() - start)
                                    .count();
        if (leftMs <= 0)
            return m_screen.Lost("the daemon did not come back within " +
                                 std::to_string(m_policy.giveUpMs / 1000) + " seconds");
        if (Interrupted(std::min(delayMs, leftMs)))
            return m_screen.Lost("gave up waiting for the daemon");
        std::string error;
        const std::string path = m_connection.Path();
        if (m_connection.Connect(path, error, m_reader.InterruptFd())) {
            m_screen.Greet(path, m_connection.Greeting());
            return kGoOn;
        }
        // Ctrl-C may have ended a wait for a greeting.
        if (Interrupted(0))
            return m_screen.Lost("gave up waiting for the daemon");
        // The daemon that answers is judged as the first was.
        if (m_connection.Untrusted() || m_connection.Refused()) {
            m_screen.Lost(error);
            return kConsoleAccessRefused;
        }
        delayMs = std::min<long long>(delayMs * 2, m_policy.longestDelayMs);
    }
}

bool BConsoleSession::Interrupted(long long ms)
{
    const auto until = BDaemonConnection::TClock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - BDaemonConnection::TClock::now());
        pollfd interrupt = {m_reader.InterruptFd(), POLLIN, 0};
        if (poll(&interrupt, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) > 0 &&
            (interrupt.revents & POLLIN) && m_reader.TakeInterrupt())
            return true;
        if (left.count() <= 0)
            return false;
    }
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
