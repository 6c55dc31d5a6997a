#include "host/console/BLineReader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include <poll.h>
#include <unistd.h>

#include "host/console/BSignalPipe.h"

#ifdef MUROX_HAVE_LIBEDIT
#include "host/console/BLineEditor.h"
#endif

struct BLineReader::TState {
    std::string prompt;
#ifdef MUROX_HAVE_LIBEDIT
    std::unique_ptr<BLineEditor> pEditor;
#endif
    // Plain mode.
    bool terminal = false; // standard input is one: the prompt is written
    bool promptShown = false;
    bool ended = false;
    std::string partial;                   // read, not yet ended by '\n'
    std::deque<std::string> queued;        // completed lines that ReadLine keeps
    std::unique_ptr<BSignalPipe> pSignals; // Ctrl-C, when CatchInterrupts
};

namespace {

#ifdef MUROX_HAVE_LIBEDIT
bool TerminalCanEdit()
{
    const char* szTerm = std::getenv("TERM");
    return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0 && szTerm != nullptr &&
           szTerm[0] != '\0' && std::strcmp(szTerm, "dumb") != 0 && BLineEditor::CanOpen();
}
#endif

} // namespace

BLineReader::BLineReader(const char* szPrompt, const std::string& historyPath, TCompleter completer)
    : m_pState(new TState)
{
    m_pState->prompt = szPrompt;
    m_pState->terminal = isatty(STDIN_FILENO) != 0;
#ifdef MUROX_HAVE_LIBEDIT
    if (TerminalCanEdit())
        m_pState->pEditor.reset(new BLineEditor(szPrompt, historyPath, std::move(completer)));
#else
    (void)historyPath;
    (void)completer;
#endif
}

BLineReader::~BLineReader() = default;

bool BLineReader::Editing() const
{
#ifdef MUROX_HAVE_LIBEDIT
    return m_pState->pEditor != nullptr;
#else
    return false;
#endif
}

int BLineReader::Fd() const
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor)
        return m_pState->pEditor->Fd();
#endif
    return m_pState->ended ? -1 : STDIN_FILENO;
}

bool BLineReader::Read(std::vector<std::string>& lines)
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor)
        return m_pState->pEditor->Read(lines);
#endif
    TState& state = *m_pState;
    if (state.ended)
        return false;
    char buffer[4096];
    ssize_t count;
    do
        count = read(STDIN_FILENO, buffer, sizeof buffer);
    while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (count <= 0) {
        // As std::getline: a read error ends the input like its end.
        if (!state.partial.empty()) {
            lines.push_back(state.partial);
            state.partial.clear();
            state.promptShown = false;
        }
        if (state.terminal && state.promptShown)
            std::fputs("\n", stdout);
        state.ended = true;
        return false;
    }
    state.partial.append(buffer, static_cast<std::string::size_type>(count));
    std::string::size_type start = 0;
    std::string::size_type end;
    while ((end = state.partial.find('\n', start)) != std::string::npos) {
        lines.push_back(state.partial.substr(start, end - start));
        state.promptShown = false;
        start = end + 1;
    }
    state.partial.erase(0, start);
    return true;
}

bool BLineReader::ReadLine(std::string& line)
{
    TState& state = *m_pState;
    ShowPrompt();
    // Input that ended right after its last line (one without '\n'): that
    // line was returned, this prompt ends as the one at the end does.
    if (state.queued.empty() && state.ended) {
        if (!Editing() && state.terminal)
            std::fputs("\n", stdout);
        return false;
    }
    std::vector<std::string> lines;
    bool more = true;
    while (state.queued.empty() && more) {
        pollfd input = {Fd(), POLLIN, 0};
        if (input.fd < 0)
            break;
        if (poll(&input, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        lines.clear();
        more = Read(lines);
        state.queued.insert(state.queued.end(), lines.begin(), lines.end());
        if (!more)
            state.ended = true;
    }
    if (state.queued.empty())
        return false;
    line = state.queued.front();
    state.queued.pop_front();
    return true;
}

void BLineReader::ShowPrompt()
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor) {
        m_pState->pEditor->Show();
        return;
    }
#endif
    if (m_pState->terminal) {
        std::fputs(m_pState->prompt.c_str(), stdout);
        std::fflush(stdout);
    }
    m_pState->promptShown = true;
}

void BLineReader::HidePrompt()
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor)
        m_pState->pEditor->Hide();
#endif
    m_pState->promptShown = false;
}

void BLineReader::CatchInterrupts()
{
    TState& state = *m_pState;
    if (Editing() || !state.terminal || state.pSignals)
        return;
    state.pSignals.reset(new BSignalPipe);
    if (!state.pSignals->Ok())
        state.pSignals.reset();
}

int BLineReader::InterruptFd() const
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor)
        return m_pState->pEditor->InterruptFd();
#endif
    return m_pState->pSignals ? m_pState->pSignals->Fd() : -1;
}

bool BLineReader::TakeInterrupt()
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor)
        return m_pState->pEditor->TakeInterrupt();
#endif
    TState& state = *m_pState;
    if (!state.pSignals ||
        state.pSignals->Drain().find(BSignalPipe::kInterrupt) == std::string::npos)
        return false;
    state.partial.clear();
    state.promptShown = false;
    return true;
}

void BLineReader::PrintAbove(const std::string& text)
{
#ifdef MUROX_HAVE_LIBEDIT
    if (m_pState->pEditor) {
        m_pState->pEditor->PrintAbove(text);
        return;
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n')
        std::fputs("\n", stdout);
    std::fflush(stdout);
}
