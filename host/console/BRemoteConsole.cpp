#include "host/console/BRemoteConsole.h"

#include "host/console/BLineReader.h"
#include "host/console/CommandCompletion.h"
#include "host/console/ShellConsole.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kPrompt[] = "murox> ";

void Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The console leaves on "quit" itself: the daemon is never asked to.
bool IsQuit(const std::string& line)
{
    const std::vector<std::string> words = SplitCommandWords(line);
    return !words.empty() && words[0] == "quit";
}

// Prints one frame from the daemon. False for a farewell, after saying it.
bool Show(const control::TFrame& frame)
{
    if (frame.type == control::kEvent) {
        Print(frame.payload + "\n");
    } else if (frame.type == control::kAnswer) {
        Print(frame.payload);
    } else if (frame.type == control::kFarewell) {
        std::fflush(stdout);
        std::fputs(frame.payload.c_str(), stderr);
        return false;
    }
    return true;
}

int Lost(const std::string& error)
{
    std::fflush(stdout);
    std::fprintf(stderr, "murox: %s\n", error.c_str());
    return 1;
}

// Sends each line and prints what arrives up to its answer.
int RunLines(BRemoteConsole& console, const std::vector<std::string>& lines)
{
    std::string error;
    for (const std::string& line : lines) {
        if (IsQuit(line))
            break;
        if (!console.Send(control::kLine, line))
            return Lost("the daemon closed the connection");
        control::TFrame frame;
        do {
            if (!console.Receive(frame, error))
                return Lost(error);
            if (!Show(frame))
                return 1;
        } while (frame.type != control::kAnswer);
    }
    return 0;
}

// The words the console completes, asked of the daemon without a word on
// the screen; frames that arrive meanwhile wait in `held`. Empty when the
// daemon is gone, which the loop finds out next.
std::string AskWords(BRemoteConsole& console, std::deque<control::TFrame>& held)
{
    std::string error;
    control::TFrame frame;
    if (!console.Send(control::kWords, std::string()))
        return std::string();
    while (console.Receive(frame, error)) {
        if (frame.type == control::kWords)
            return frame.payload;
        held.push_back(std::move(frame));
    }
    return std::string();
}

// Lines from standard input, one in flight at a time. Events are shown
// as they arrive, above the line being typed; an answer is shown whole,
// then the prompt again.
int RunInput(BRemoteConsole& console)
{
    std::deque<control::TFrame> held;
    BLineReader reader(kPrompt, MuroxHistoryPath(),
                       WordsCompleter([&] { return AskWords(console, held); }));
    std::deque<std::string> queued;
    std::vector<std::string> lines;
    bool waiting = false, inputDone = false;
    std::string error;
    reader.ShowPrompt();
    for (;;) {
        if (!waiting && !queued.empty()) {
            const std::string line = std::move(queued.front());
            queued.pop_front();
            if (IsQuit(line))
                return 0;
            if (!console.Send(control::kLine, line))
                return Lost("the daemon closed the connection");
            waiting = true;
            continue;
        }
        if (!waiting && inputDone)
            return 0;
        pollfd fds[2] = {{console.Fd(), POLLIN, 0}, {inputDone ? -1 : reader.Fd(), POLLIN, 0}};
        const bool pending = !held.empty() || console.HasFrame();
        if (!pending && poll(fds, 2, -1) < 0 && errno != EINTR)
            return Lost(std::string("poll failed: ") + std::strerror(errno));
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            control::TFrame frame;
            if (!held.empty()) {
                frame = std::move(held.front());
                held.pop_front();
            } else if (!console.Receive(frame, error)) {
                reader.HidePrompt();
                return Lost(error);
            }
            if (frame.type == control::kFarewell) {
                reader.HidePrompt();
                Show(frame);
                return 1;
            }
            if (frame.type == control::kEvent) {
                reader.PrintAbove(frame.payload + "\n"); // an empty event is an empty line
            } else if (frame.type == control::kAnswer) {
                // While a line is in flight the prompt is hidden: the
                // answer goes out as the command wrote it.
                Show(frame);
                waiting = false;
                if (queued.empty() && !inputDone)
                    reader.ShowPrompt();
            }
            continue;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            lines.clear();
            inputDone = !reader.Read(lines);
            queued.insert(queued.end(), lines.begin(), lines.end());
        }
    }
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
    if (m_fd < 0 ||
        connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "no daemon answers at " + path + ": " + std::strerror(errno);
        return false;
    }
    control::TFrame frame;
    if (!Receive(frame, error))
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
    return true;
}

bool BRemoteConsole::Send(char type, const std::string& payload)
{
    std::string frame;
    control::AppendFrame(frame, type, payload);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(m_fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool BRemoteConsole::Receive(control::TFrame& frame, std::string& error)
{
    for (;;) {
        switch (m_reader.Next(frame)) {
        case control::BFrameReader::kFrame:
            return true;
        case control::BFrameReader::kMalformed:
            error = "the daemon at " + m_path + " sent a malformed frame";
            return false;
        case control::BFrameReader::kNone:
            break;
        }
        char buffer[16384];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "the daemon at " + m_path + " closed the connection";
            return false;
        }
        m_reader.Append(buffer, static_cast<std::size_t>(n));
    }
}

int RunRemoteConsole(const std::string& path, const std::vector<std::string>& lines)
{
    BRemoteConsole console;
    std::string error;
    if (!console.Connect(path, error))
        return Lost(error);
    return lines.empty() ? RunInput(console) : RunLines(console, lines);
}
