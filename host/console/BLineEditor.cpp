#include "host/console/BLineEditor.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <editline/readline.h>

#include "host/console/ScreenPosition.h"

BLineEditor* BLineEditor::s_pOpen = nullptr;

namespace {

const char kBlanks[] = " \t";

void WriteOut(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// "\x1b[<count><code>": a cursor movement of the terminal; libedit itself
// assumes the same ANSI sequences of every terminal it drives here.
std::string CursorMove(int count, char code)
{
    return count > 0 ? "\x1b[" + std::to_string(count) + code : std::string();
}

// A key as libedit's own reader takes it: one character of the locale's
// encoding, a byte that does not decode taken as it is.
int ReadCharacter(int fd)
{
    std::mbstate_t state{};
    for (;;) {
        char byte = 0;
        const ssize_t count = read(fd, &byte, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count != 1)
            return EOF;
        wchar_t character = 0;
        const std::size_t used = std::mbrtowc(&character, &byte, 1, &state);
        if (used == static_cast<std::size_t>(-2))
            continue;
        if (used == static_cast<std::size_t>(-1))
            return static_cast<unsigned char>(byte);
        return static_cast<int>(character);
    }
}

int ScreenColumns()
{
    int rows = 0;
    int columns = 0;
    rl_get_screen_size(&rows, &columns);
    return columns;
}

} // namespace

bool BLineEditor::CanOpen()
{
    return s_pOpen == nullptr;
}

BLineEditor::BLineEditor(const char* szPrompt, const std::string& historyPath,
                         BLineReader::TCompleter completer)
    : m_prompt(szPrompt), m_historyPath(historyPath), m_completer(std::move(completer))
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
    rl_initialize();
    rl_attempted_completion_function = OnComplete;
    rl_basic_word_break_characters = kBlanks;
    rl_completion_append_character = ' ';

    // Bounds what is read from the file as well as what is added.
    stifle_history(BLineReader::kHistoryLines);
    if (!m_historyPath.empty()) {
        const int error = read_history(m_historyPath.c_str());
        if (error != 0 && error != ENOENT)
            Warn("cannot read the history file", error);
    }
    const HIST_ENTRY* const pNewest = history_get(history_base + history_length - 1);
    if (pNewest != nullptr && pNewest->line != nullptr)
        m_lastEntry = pNewest->line;

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
    Hide();
    if (m_pollFd >= 0)
        close(m_pollFd);
    s_pOpen = nullptr;
}

int BLineEditor::Fd() const
{
    if (!m_shown || m_ended)
        return -1;
    // Without an epoll descriptor, a Ctrl-C waits for the next key.
    return m_pollFd >= 0 ? m_pollFd : STDIN_FILENO;
}

void BLineEditor::Show()
{
    if (m_shown || m_ended)
        return;
    // A Ctrl-C pressed while no line was being typed, and that the caller
    // did not take, abandons nothing; the prompt is drawn anew anyway.
    TakeInterrupt();
    if (m_resized)
        rl_resize_terminal();
    m_resized = false;
    Start(m_hiddenLine);
    m_hiddenLine.clear();
    m_shown = true;
}

// A new line holding `line`, cursor at its end, drawn with the prompt from
// the cursor's row on.
void BLineEditor::Start(const std::string& line)
{
    // Empties the line and draws the prompt.
    rl_callback_handler_install(m_prompt.c_str(), OnLine);
    m_shownLine = line;
    m_shownPoint = line.size();
    if (line.empty())
        return;
    rl_insert_text(line.c_str());
    WriteOut("\r" + CursorMove(ScreenPosition(m_prompt, ScreenColumns()).row, 'A'));
    rl_forced_update_display();
}

void BLineEditor::TakeLineState()
{
    m_shownLine.assign(rl_line_buffer, static_cast<std::string::size_type>(rl_end));
    m_shownPoint = static_cast<std::string::size_type>(rl_point);
}

void BLineEditor::Hide()
{
    if (!m_shown)
        return;
    m_hiddenLine = m_shownLine;
    EraseShownLine();
    std::fflush(stdout);
    rl_callback_handler_remove();
    m_shown = false;
}

bool BLineEditor::Read(std::vector<std::string>& lines)
{
    if (m_ended)
        return false;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_signals.Fd(), POLLIN, 0}};
    while (poll(fds, 2, 0) < 0 && errno == EINTR) {
    }
    for (const char signal : m_signals.Drain()) {
        if (signal == BSignalPipe::kResize) {
            rl_resize_terminal();
        } else if (signal == BSignalPipe::kContinue) {
            // Back in the foreground, where the shell has set the terminal
            // to its own modes: libedit's again, then the prompt and line
            // on the row the shell left the cursor at.
            if (m_shown) {
                rl_deprep_terminal();
                rl_prep_terminal(0);
                rl_forced_update_display();
            }
        } else if (m_shown) {
            Interrupt();
        }
    }
    if (!m_shown)
        return true;

    // libedit does not report the end of the terminal in callback mode:
    // a hangup, or input that polls readable with nothing to read, is it.
    int available = 0;
    const bool hungUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (hungUp || ((fds[0].revents & POLLIN) != 0 &&
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
        TakeLineState();
    }

    if (m_lineDone) {
        // libedit has left the line and the terminal's raw mode already.
        rl_callback_handler_remove();
        m_shown = false;
        m_lineDone = false;
        Remember(m_line);
        lines.push_back(m_line);
        return true;
    }
    if (m_ended) {
        WriteOut("\n");
        std::fflush(stdout);
        rl_callback_handler_remove();
        m_shown = false;
        return false;
    }
    return true;
}

int BLineEditor::InterruptFd() const
{
    return m_shown ? -1 : m_signals.Fd();
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
    const int key = ReadCharacter(fileno(pStream));
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
    if (m_shown)
        EraseShownLine();
    WriteOut(text);
    if (!text.empty() && text.back() != '\n')
        WriteOut("\n");
    std::fflush(stdout);
    if (m_shown)
        rl_forced_update_display();
}

TScreenPos BLineEditor::CursorPosition(int columns) const
{
    return ScreenPosition(m_prompt + m_shownLine.substr(0, m_shownPoint), columns);
}

// From the cursor's row up to the prompt's first, to its first column, and
// everything below cleared.
void BLineEditor::EraseShownLine()
{
    const TScreenPos cursor = CursorPosition(ScreenColumns());
    WriteOut("\r" + CursorMove(cursor.row, 'A') + "\x1b[J");
}

void BLineEditor::MoveToEndOfLine()
{
    const int columns = ScreenColumns();
    const TScreenPos cursor = CursorPosition(columns);
    const TScreenPos end = ScreenPosition(m_prompt + m_shownLine, columns);
    WriteOut("\r" + CursorMove(end.row - cursor.row, 'B') + CursorMove(end.column, 'C'));
}

// The line typed so far stays on the screen, marked ^C; a new one starts.
void BLineEditor::Interrupt()
{
    MoveToEndOfLine();
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

// Adds the line to the history, unless it is blank or repeats the last
// one, and saves the history, private to its owner.
void BLineEditor::Remember(const std::string& line)
{
    if (line.find_first_not_of(kBlanks) == std::string::npos)
        return;
    if (line == m_lastEntry)
        return;
    add_history(line.c_str());
    m_lastEntry = line;
    if (m_historyPath.empty())
        return;
    const int fd = open(m_historyPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0 || fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        Warn("cannot write the history file", error);
        return;
    }
    close(fd);
    const int error = write_history(m_historyPath.c_str());
    if (error != 0)
        Warn("cannot write the history file", error);
}

// Once: the history stays in memory and the file is left alone from then on.
void BLineEditor::Warn(const std::string& what, int error)
{
    std::fprintf(stderr, "murox: %s %s: %s; history is not saved\n", what.c_str(),
                 m_historyPath.c_str(), std::strerror(error));
    m_historyPath.clear();
}
