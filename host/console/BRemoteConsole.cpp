#include "host/console/BRemoteConsole.h"

#include "host/console/BLineReader.h"
#include "host/console/CommandCompletion.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/CommandWords.h"
#include "host/protocol/VisibleText.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using TClock = BRemoteConsole::TClock;

const char kPrompt[] = "murox> ";

void Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The console's own remarks and the daemon's farewell, on standard error.
void Remark(const std::string& text)
{
    std::fflush(stdout);
    const std::string shown = isatty(STDERR_FILENO) ? control::VisibleText(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), stderr);
}

int Lost(const std::string& error)
{
    Remark("murox: " + error + "\n");
    return 1;
}

// What the daemon sends, as standard output shows it: byte for byte, or on
// a terminal with control characters made visible.
class BScreen {
public:
    explicit BScreen(bool terminal) : m_terminal(terminal) {}

    // An event's text as the line that shows it.
    std::string EventLine(const std::string& text) const
    {
        return (m_terminal ? control::VisibleText(text) : text) + "\n";
    }

    // A piece of an answer: a failed line's goes to standard error.
    void Answer(const control::TFrame& piece)
    {
        const bool failed = piece.type == control::kFailed;
        m_failed = m_failed || failed;
        FILE* const pStream = failed ? stderr : stdout;
        if (failed)
            std::fflush(stdout);
        std::string shown = piece.payload;
        if (isatty(fileno(pStream)) != 0) {
            shown = m_answer.Add(piece.payload.data(), piece.payload.size());
            if (!piece.more)
                shown += m_answer.End();
        }
        std::fwrite(shown.data(), 1, shown.size(), pStream);
        std::fflush(pStream);
    }

    // The exit status of a console that ran its lines to the end.
    int Status() const
    {
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            std::fprintf(stderr, "murox: cannot write to standard output: %s\n",
                         std::strerror(errno));
            return 1;
        }
        return m_failed ? 3 : 0;
    }

    // The rest of the answer under way will not be shown.
    void CutAnswer() { m_answer = control::BVisibleText(); }

private:
    bool m_terminal;
    bool m_failed = false;
    control::BVisibleText m_answer;
};

bool IsAnswer(const control::TFrame& frame)
{
    return frame.type == control::kAnswer || frame.type == control::kFailed;
}

// Prints one frame from the daemon. False for a farewell, after saying it.
bool Show(BScreen& screen, const control::TFrame& frame)
{
    if (frame.type == control::kEvent) {
        Print(screen.EventLine(frame.payload));
    } else if (IsAnswer(frame)) {
        screen.Answer(frame);
    } else if (frame.type == control::kFarewell) {
        Remark(frame.payload);
        return false;
    }
    return true;
}

// Sends each line and prints what arrives up to its answer's last piece,
// however long the daemon takes.
int RunLines(BRemoteConsole& console, BScreen& screen, const std::vector<std::string>& lines)
{
    std::string error;
    for (const std::string& line : lines) {
        if (command::IsQuit(line))
            break;
        if (!console.Send(control::kLine, line, error))
            return Lost(error);
        control::TFrame frame;
        do {
            if (console.Receive(frame, error, TClock::time_point::max()) !=
                BRemoteConsole::kReceived)
                return Lost(error);
            if (!Show(screen, frame))
                return 1;
        } while (!IsAnswer(frame) || frame.more);
    }
    return screen.Status();
}

// Every event as it comes, after the local time, until the daemon stops.
int Follow(BRemoteConsole& console, BScreen& screen)
{
    std::string error;
    control::TFrame frame;
    for (;;) {
        if (console.Receive(frame, error, TClock::time_point::max()) != BRemoteConsole::kReceived)
            return Lost(error);
        if (frame.type == control::kFarewell) {
            Remark(frame.payload);
            return 1;
        }
        if (frame.type != control::kEvent)
            continue;
        char stamp[64];
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z ", localtime_r(&now, &local));
        Print(stamp + screen.EventLine(frame.payload));
        if (std::ferror(stdout) != 0)
            return screen.Status();
    }
}

// Lines from standard input, one in flight at a time. Events are shown as
// they arrive, above the line being typed; an answer is shown as it
// arrives, then the prompt again. Tab completes from the words the daemon
// last described, without asking it: a daemon that is slow to answer
// holds up no key.
class BSession {
public:
    BSession(BRemoteConsole& console, BScreen& screen)
        : m_console(console), m_screen(screen),
          m_reader(kPrompt, MuroxHistoryPath(), CommandCompleter([this] { return m_words; }))
    {
    }

    int Run();

private:
    bool OnFrame(const control::TFrame& frame, std::string& error);
    void OnInterrupt();

    BRemoteConsole& m_console;
    BScreen& m_screen;
    control::TCommandWords m_words; // what Tab completes
    BLineReader m_reader;
    std::deque<std::string> m_queued; // lines read, not yet sent
    bool m_waiting = false;           // for the answer to the line sent
    bool m_inputDone = false;
    // Answers still to come to lines whose wait was abandoned.
    unsigned m_abandoned = 0;
};

int BSession::Run()
{
    std::string error;
    m_reader.CatchInterrupts();
    m_reader.ShowPrompt();
    for (;;) {
        if (!m_waiting && !m_queued.empty()) {
            const std::string line = std::move(m_queued.front());
            m_queued.pop_front();
            // The console leaves without a word to the daemon, which runs on.
            if (command::IsQuit(line))
                return m_screen.Status();
            if (!m_console.Send(control::kLine, line, error))
                return Lost(error);
            m_waiting = true;
            continue;
        }
        if (!m_waiting && m_inputDone)
            return m_screen.Status();
        pollfd fds[3] = {{m_console.Fd(), POLLIN, 0},
                         {m_inputDone ? -1 : m_reader.Fd(), POLLIN, 0},
                         {m_reader.InterruptFd(), POLLIN, 0}};
        const bool pending = m_console.HasFrame();
        if (!pending && poll(fds, 3, -1) < 0 && errno != EINTR)
            return Lost(std::string("poll failed: ") + std::strerror(errno));
        if ((fds[2].revents & POLLIN) && m_reader.TakeInterrupt()) {
            OnInterrupt();
            continue;
        }
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            control::TFrame frame;
            const BRemoteConsole::TResult result =
                m_console.Receive(frame, error, TClock::time_point::min());
            if (result == BRemoteConsole::kLost) {
                m_reader.HidePrompt();
                return Lost(error);
            }
            if (result == BRemoteConsole::kReceived && !OnFrame(frame, error)) {
                m_reader.HidePrompt();
                return error.empty() ? 1 : Lost(error);
            }
            continue;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::vector<std::string> lines;
            m_inputDone = !m_reader.Read(lines);
            m_queued.insert(m_queued.end(), lines.begin(), lines.end());
        }
    }
}

// Shows a frame. False when the session ends: after a farewell (said,
// `error` empty) or an answer to no line (`error` says so).
bool BSession::OnFrame(const control::TFrame& frame, std::string& error)
{
    if (frame.type == control::kFarewell) {
        m_reader.HidePrompt();
        Remark(frame.payload);
        return false;
    }
    if (frame.type == control::kEvent) {
        m_reader.PrintAbove(m_screen.EventLine(frame.payload));
    } else if (frame.type == control::kWords) {
        m_words = control::DecodeWords(frame.payload);
    } else if (IsAnswer(frame)) {
        if (m_abandoned > 0) {
            if (!frame.more)
                --m_abandoned;
            return true;
        }
        if (!m_waiting) {
            error = "the daemon sent an answer to no line";
            return false;
        }
        // While a line is in flight the prompt is hidden: the answer goes
        // out as the command wrote it.
        m_screen.Answer(frame);
        if (!frame.more) {
            m_waiting = false;
            if (m_queued.empty() && !m_inputDone)
                m_reader.ShowPrompt();
        }
    }
    return true;
}

// Ctrl-C: the wait for the answer is abandoned, with the lines typed ahead
// (the terminal drops them too); at a plain prompt, the line being typed.
void BSession::OnInterrupt()
{
    // Past the terminal's own "^C".
    Print("\n");
    if (m_waiting) {
        m_screen.CutAnswer();
        ++m_abandoned;
        m_waiting = false;
        m_queued.clear();
        Remark("murox: answer abandoned; the daemon still runs the line\n");
    }
    if (!m_inputDone)
        m_reader.ShowPrompt();
}

} // namespace

BRemoteConsole::~BRemoteConsole()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool BRemoteConsole::Connect(const std::string& path, std::string& error)
{
    sockaddr_un address;
    if (!control::SocketAddress(path, address)) {
        error = "socket path '" + path + "' is empty or too long";
        return false;
    }
    m_path = path;
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Bounds connect() too: it waits while the daemon's backlog is full.
    const timeval patience = {kPatienceSeconds, 0};
    if (m_fd < 0 || setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience) != 0 ||
        connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno == EACCES
                    ? "a daemon may serve " + path +
                          ", but this user may not use it: access needs membership of the "
                          "socket's group (ls -l " +
                          path + " names it)"
                    : "no daemon answers at " + path + ": " + std::strerror(errno);
        return false;
    }
    control::TFrame frame;
    const TClock::time_point deadline = TClock::now() + std::chrono::seconds(kPatienceSeconds);
    const TResult result = Receive(frame, error, deadline);
    if (result == kTimedOut)
        error = "the daemon at " + path + " sent no greeting within " +
                std::to_string(kPatienceSeconds) + " seconds";
    if (result != kReceived)
        return false;
    if (frame.type == control::kFarewell) {
        error = frame.payload;
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        if (error.compare(0, 7, "murox: ") == 0)
            error.erase(0, 7);
        return false;
    }
    const std::string greeting = std::string(control::kGreeting) + " ";
    if (frame.type != control::kHello || frame.payload.compare(0, greeting.size(), greeting) != 0) {
        error = path + " does not speak the murox control protocol";
        return false;
    }
    m_greeting = frame.payload.substr(greeting.size());
    return true;
}

bool BRemoteConsole::Send(char type, const std::string& payload, std::string& error)
{
    std::string frame;
    control::AppendFrame(frame, type, payload);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(m_fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            error = "the daemon at " + m_path + " took nothing for " +
                    std::to_string(kPatienceSeconds) + " seconds";
            return false;
        }
        if (n <= 0) {
            error = "the daemon at " + m_path + " closed the connection";
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

BRemoteConsole::TResult BRemoteConsole::Receive(control::TFrame& frame, std::string& error,
                                                TClock::time_point deadline)
{
    for (;;) {
        switch (m_reader.Next(frame)) {
        case control::BFrameReader::kFrame:
            return kReceived;
        case control::BFrameReader::kMalformed:
            error = "the daemon at " + m_path + " sent a malformed frame";
            return kLost;
        case control::BFrameReader::kNone:
            break;
        }
        int timeout = -1;
        const TClock::time_point now = TClock::now();
        if (deadline <= now) {
            timeout = 0;
        } else if (deadline != TClock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        pollfd readable = {m_fd, POLLIN, 0};
        const int ready = poll(&readable, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            error = std::string("poll failed: ") + std::strerror(errno);
            return kLost;
        }
        if (ready == 0)
            return kTimedOut;
        char buffer[16384];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            error = "the daemon at " + m_path + " closed the connection";
            return kLost;
        }
        m_reader.Append(buffer, static_cast<std::size_t>(n));
    }
}

int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines, bool follow)
{
    BRemoteConsole console;
    std::string error;
    if (!console.Connect(path, error))
        return Lost(error);
    BScreen screen(isatty(STDOUT_FILENO) != 0);
    if (follow)
        return Follow(console, screen);
    const bool interactive = lines.empty() && isatty(STDIN_FILENO) != 0;
    // A script's lines are answered with what they cause, and only that:
    // the events that come before the daemon agrees are passed over.
    if (!interactive) {
        control::TFrame frame;
        if (!console.Send(control::kEvents, control::kOwnEvents, error))
            return Lost(error);
        const TClock::time_point deadline =
            TClock::now() + std::chrono::seconds(BRemoteConsole::kPatienceSeconds);
        do {
            const BRemoteConsole::TResult result = console.Receive(frame, error, deadline);
            if (result == BRemoteConsole::kTimedOut)
                return Lost("the daemon at " + path + " did not answer within " +
                            std::to_string(BRemoteConsole::kPatienceSeconds) + " seconds");
            if (result != BRemoteConsole::kReceived)
                return Lost(error);
            if (frame.type == control::kFarewell) {
                Remark(frame.payload);
                return 1;
            }
            if (IsAnswer(frame))
                return Lost("the daemon sent an answer to no line");
        } while (frame.type != control::kEvents);
    }
    if (!lines.empty())
        return RunLines(console, screen, lines);
    if (interactive) {
        const std::string::size_type blank = console.Greeting().find(' ');
        Print("murox: connected to the daemon at " + path + ", pid " +
              console.Greeting().substr(0, blank) + ", version " +
              (blank == std::string::npos ? "?" : console.Greeting().substr(blank + 1)) + "\n");
    }
    BSession session(console, screen);
    return session.Run();
}
