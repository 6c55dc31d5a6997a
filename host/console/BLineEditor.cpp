#include "host/console/BLineEditor.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <editline/readline.h>

#include "host/console/HistoryFile.h"
#include "host/console/TerminalKey.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/VisibleText.h"

BLineEditor* BLineEditor::s_pOpen = nullptr;

namespace {

void WriteOut(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// libedit reads key bindings (editrc(5)) as it starts, from $EDITRC or
// $HOME/.editrc, whoever owns them: root with another user's $HOME
// (sudo -E, su -m) would obey that user's macros, and one key could run a
// line as root. So it starts with $EDITRC naming the file checked and
// opened here, through the descriptor's name in /proc, or empty, which it
// takes for none; the environment is given back afterwards.
void StartLibedit()
{
    std::string problem;
    const std::string path = KeyBindingsPath();
    const BFd bindings = path.empty() ? BFd() : OpenKeyBindings(path, problem);
    if (!problem.empty()) {
        const std::string text = "murox: key bindings " + path + " not read: " + problem + "\n";
        const std::string shown = isatty(STDERR_FILENO) != 0 ? control::VisibleText(text) : text;
        std::fwrite(shown.data(), 1, shown.size(), stderr);
    }
    const char* const szWas = std::getenv("EDITRC");
    const std::string was = szWas != nullptr ? szWas : "";
    const std::string checked =
        bindings.Valid() ? "/proc/self/fd/" + std::to_string(bindings.Get()) : "";
    setenv("EDITRC", checked.c_str(), 1);
    rl_initialize();
    if (szWas != nullptr)
        setenv("EDITRC", was.c_str(), 1);
    else
        unsetenv("EDITRC");
}

} // namespace

bool BLineEditor::CanOpen()
{
    return s_pOpen == nullptr;
}

BLineEditor::BLineEditor(const char* szPrompt, const std::string& historyPath,
                         BLineReader::TCompleter completer)
    : m_onScreen(szPrompt), m_history(historyPath), m_completer(std::move(completer))
{
    s_pOpen = this;
    std::setlocale(LC_CTYPE, "");
    // libedit's own handlers would re-raise SIGINT at the whole process
    // group; the signal pipe takes the signals instead.
    rl_catch_signals = 0;
    rl_readline_name = "murox";
    rl_instream = stdin;
    rl_outstream = stdout;
    rl_getc_function = ReadKey;
    StartLibedit();
    rl_attempted_completion_function = OnComplete;
    rl_basic_word_break_characters = command::kBlanks;
    rl_completion_append_character = ' ';

    m_history.Load(BLineReader::kHistoryLines);

    m_pollFd = epoll_create1(EPOLL_CLOEXEC);
    for (const int fd : {STDIN_FILENO, m_signals.Fd()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (m_pollFd >= 0 && fd >= 0)
            epoll_ctl(m_pollFd, EPOLL_CTL_ADD, fd, &event);
    }
}

BLineEditor::~BLineEditor()
{
    HidePrompt();
    if (m_pollFd >= 0)
        close(m_pollFd);
    s_pOpen = nullptr;
}

int BLineEditor::Fd() const
{
    if (!m_promptShown || m_ended)
        return -1;
    // Without an epoll descriptor, a Ctrl-C waits for the next key.
    return m_pollFd >= 0 ? m_pollFd : STDIN_FILENO;
}

void BLineEditor::ShowPrompt()
{
    if (m_promptShown || m_ended)
        return;
    // A Ctrl-C pressed while no line was being typed, and that the caller
    // did not take, abandons nothing; the prompt is drawn anew anyway.
    TakeInterrupt();
    if (m_resized)
        rl_resize_terminal();
    m_resized = false;
    Start(m_hiddenLine);
    m_hiddenLine.clear();
    m_promptShown = true;
}

// A new line holding `line`, cursor at its end, drawn with the prompt from
// the cursor's row on.
void BLineEditor::Start(const std::string& line)
{
    // Empties the line and draws the prompt.
    rl_callback_handler_install(m_onScreen.Prompt().c_str(), OnLine);
    m_onScreen.Set(line);
    if (line.empty())
        return;
    rl_insert_text(line.c_str());
    m_onScreen.ToPromptStart();
    rl_forced_update_display();
}

void BLineEditor::HidePrompt()
{
    if (!m_promptShown)
        return;
    m_hiddenLine = m_onScreen.Line();
    m_onScreen.Erase();
    std::fflush(stdout);
    rl_callback_handler_remove();
    m_promptShown = false;
}

bool BLineEditor::Read(std::vector<std::string>& lines)
{
    if (m_ended)
        return false;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_signals.Fd(), POLLIN, 0}};
    while (poll(fds, 2, 0) < 0 && errno == EINTR) {
    }
    TakeSignals();
    if (!m_promptShown)
        return true;
    ReadKeys(fds[0].revents);
    if (m_lineDone) {
        // libedit has left the line and the terminal's raw mode already.
        rl_callback_handler_remove();
        m_promptShown = false;
        m_lineDone = false;
        m_history.Remember(m_line);
        lines.push_back(m_line);
        return true;
    }
    if (m_ended) {
        WriteOut("\n");
        std::fflush(stdout);
        rl_callback_handler_remove();
        m_promptShown = false;
        return false;
    }
    return true;
}

void BLineEditor::TakeSignals()
{
    for (const char signal : m_signals.Drain()) {
        if (signal == BSignalPipe::kResize) {
            rl_resize_terminal();
        } else if (signal == BSignalPipe::kContinue) {
            // Back in the foreground, where the shell has set the terminal
            // to its own modes: libedit's again, then the prompt and line
            // on the row the shell left the cursor at.
            if (m_promptShown) {
                rl_deprep_terminal();
                rl_prep_terminal(0);
                rl_forced_update_display();
            }
        } else if (m_promptShown) {
            Interrupt();
        }
    }
}

// Hands libedit the keys typed so far, up to a completed line.
void BLineEditor::ReadKeys(short inputEvents)
{
    // libedit does not report the end of the terminal in callback mode:
    // a hangup, or input that polls readable with nothing to read, is it.
    int available = 0;
    const bool hungUp = (inputEvents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (hungUp || ((inputEvents & POLLIN) != 0 &&
                   (ioctl(STDIN_FILENO, FIONREAD, &available) != 0 || available == 0))) {
        m_ended = true;
    }
    // One character per call; a key sequence or a search is read whole.
    while (!m_ended && !m_lineDone && ioctl(STDIN_FILENO, FIONREAD, &available) == 0 &&
           available > 0) {
        m_lastKey = 0;
        rl_callback_read_char();
        // A search ends on the key that ends it, and libedit keeps that
        // key for its next read: Enter runs the line found at once.
        if (!m_lineDone && (m_lastKey == '\r' || m_lastKey == '\n'))
            rl_callback_read_char();
        m_onScreen.Take();
    }
}

int BLineEditor::InterruptFd() const
{
    return m_promptShown ? -1 : m_signals.Fd();
}

bool BLineEditor::TakeInterrupt()
{
    bool interrupted = false;
    for (const char signal : m_signals.Drain()) {
        interrupted = interrupted || signal == BSignalPipe::kInterrupt;
        m_resized = m_resized || signal == BSignalPipe::kResize;
    }
    return interrupted;
}

int BLineEditor::ReadKey(FILE* pStream)
{
    const int key = ReadTerminalKey(fileno(pStream));
    if (s_pOpen != nullptr)
        s_pOpen->m_lastKey = key;
    return key;
}

void BLineEditor::OnLine(char* szLine)
{
    BLineEditor* const pEditor = s_pOpen;
    if (szLine == nullptr) {
        pEditor->m_ended = true;
        return;
    }
    pEditor->m_line = szLine;
    pEditor->m_lineDone = true;
    std::free(szLine);
}

void BLineEditor::PrintAbove(const std::string& text)
{
    if (m_promptShown)
        m_onScreen.Erase();
    WriteOut(text);
    if (!text.empty() && text.back() != '\n')
        WriteOut("\n");
    std::fflush(stdout);
    if (m_promptShown)
        rl_forced_update_display();
}

// The line typed so far stays on the screen, marked ^C; a new one starts.
void BLineEditor::Interrupt()
{
    m_onScreen.ToLineEnd();
    WriteOut("^C\n");
    std::fflush(stdout);
    rl_callback_handler_remove();
    Start("");
}

char** BLineEditor::OnComplete(const char* szWord, int start, int end)
{
    (void)start;
    (void)end;
    // No file names when the completer has nothing.
    rl_attempted_completion_over = 1;
    BLineEditor* const pEditor = s_pOpen;
    if (pEditor == nullptr || !pEditor->m_completer)
        return nullptr;
    try {
        pEditor->m_candidates = pEditor->m_completer(
            std::string(rl_line_buffer, static_cast<std::string::size_type>(rl_point)));
    } catch (...) {
        // An exception must not cross libedit's C frames; no candidates.
        pEditor->m_candidates.clear();
    }
    if (pEditor->m_candidates.empty())
        return nullptr;
    return rl_completion_matches(szWord, NextCandidate);
}

char* BLineEditor::NextCandidate(const char* szWord, int state)
{
    (void)szWord;
    std::vector<std::string>& candidates = s_pOpen->m_candidates;
    const std::size_t index = static_cast<std::size_t>(state);
    return index < candidates.size() ? strdup(candidates[index].c_str()) : nullptr;
}
