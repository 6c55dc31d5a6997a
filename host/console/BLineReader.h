// The operator's line reader: the console's input, with line editing where
// the build has libedit and the process runs on a terminal.
#ifndef HOST_CONSOLE_BLINEREADER_H
#define HOST_CONSOLE_BLINEREADER_H

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/console/ILineInput.h"

// Reads the operator's lines from standard input and writes the prompt and
// the line being edited to standard output.
//
// Two modes, chosen at construction:
// - Editing, when the build has libedit, standard input and output are
//   terminals, TERM is neither unset nor "dumb", and no other reader of the
//   process is editing: cursor movement, word and line kill, history (Up,
//   Down, Ctrl-R), Tab completion through the completer. Ctrl-C abandons
//   the line being typed: SIGINT (and SIGWINCH, SIGCONT) are caught while
//   the reader lives, their handler only writes a byte to a pipe that the
//   reader polls; a Ctrl-C pressed while the prompt is hidden is left to
//   the caller (InterruptFd), and dropped if the caller does not take it.
//   Back from Ctrl-Z, the line is drawn again. The reader sets LC_CTYPE
//   from the environment so that libedit decodes the terminal's
//   characters.
// - Plain, otherwise: exactly what reading standard input with std::getline
//   does. Lines are split at '\n' (the '\n' is not part of the line, any
//   other byte is), a last line without '\n' still counts, nothing is
//   echoed, signals are left alone (unless the caller asks to catch
//   Ctrl-C), there is no history. The prompt is written only when standard
//   input is a terminal.
//
// The prompt is either shown or hidden, under the caller's control, and a
// completed line hides it: a console shows it again when it is ready for
// the next line (after the answer). While it is hidden, keys typed ahead
// wait unread in the terminal.
//
// For one thread; the process has at most one reader in editing mode.
class BLineReader {
public:
    // Given the line up to the cursor, the words that may replace the word
    // being typed (the text after the last blank or tab), each starting
    // with it; empty when nothing fits. It must not print. What it throws
    // is taken for no candidates.
    using TCompleter = std::function<std::vector<std::string>(const std::string& lineBeforeCursor)>;

    // `szPrompt` is plain text without control characters. History is
    // read from `historyPath` and each entered line is saved there (mode
    // 0600, at most kHistoryLines lines) in editing mode only; an empty
    // path keeps no history across sessions. The file is used only when
    // it is the user's own (see OpenHistoryFile); one that is not, or that
    // cannot be read or written, is reported once on standard error and
    // never touched again; the console goes on.
    BLineReader(const char* szPrompt, const std::string& historyPath, TCompleter completer);
    // Restores the terminal and the signal handlers.
    ~BLineReader();
    BLineReader(const BLineReader&) = delete;
    BLineReader& operator=(const BLineReader&) = delete;

    static const int kHistoryLines = 1000;

    bool Editing() const;

    // The descriptor to poll for POLLIN (standard input in plain mode);
    // -1, which poll ignores, while the prompt is hidden in editing mode
    // and after the end of input.
    int Fd() const;

    // Call when Fd() is readable. Appends the lines completed by what was
    // available (at most one in editing mode, any number in plain mode) to
    // `lines`. False at the end of input (Ctrl-D on an empty line, or the
    // end of the file or terminal), after appending the lines before it;
    // a shown prompt is then ended with a newline. Never blocks, except
    // inside a key sequence or a Ctrl-R search that libedit reads whole.
    bool Read(std::vector<std::string>& lines);

    // Blocking convenience for a shell without other input: shows the
    // prompt, waits and returns the next line; false at the end of input.
    // Writes what std::getline in a loop with a prompt before each line
    // would, in plain mode.
    bool ReadLine(std::string& line);

    // Shows the prompt (in editing mode with the half-typed line that
    // HidePrompt took away, cursor at its end). In plain mode on a
    // terminal, writes the prompt text each time it is called.
    void ShowPrompt();
    // Hides the prompt and any half-typed line from the screen; no-op in
    // plain mode.
    void HidePrompt();

    // Catches Ctrl-C in plain mode too when standard input is a terminal
    // (the terminal drops the line being typed), for a caller that has
    // something to abandon; editing mode always catches it. SIGWINCH and
    // SIGCONT are caught with it and change nothing.
    void CatchInterrupts();
    // The descriptor that polls readable for POLLIN when Ctrl-C may have
    // been pressed and the reader leaves it to the caller: while the
    // prompt is hidden in editing mode, at any time in plain mode once
    // CatchInterrupts() caught it; otherwise -1, which poll ignores.
    int InterruptFd() const;
    // Whether Ctrl-C was pressed since the last call; call when
    // InterruptFd() is readable. In plain mode the part of a line read so
    // far is dropped with it, and the prompt counts as no longer shown.
    bool TakeInterrupt();

    // Writes `text` (whole lines; a missing last '\n' is added) to standard
    // output. With the prompt shown in editing mode, the text appears above
    // it and the prompt and the half-typed line are redrawn below, cursor
    // where it was.
    void PrintAbove(const std::string& text);

private:
    std::unique_ptr<ILineInput> m_pInput; // the mode chosen at construction
    std::deque<std::string> m_queued;     // lines read that ReadLine keeps
};

// ~/.murox_history, the operator's history: $HOME, else the user's home
// directory from the password database; empty (no history) when neither
// is known.
std::string MuroxHistoryPath();

// The key bindings libedit reads (editrc(5)): $EDITRC, else ~/.editrc
// (the home found as above); empty when neither is known. Read only when
// the file is the user's own (see OpenKeyBindings).
std::string KeyBindingsPath();

#endif
