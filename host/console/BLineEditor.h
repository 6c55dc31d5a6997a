// The editing mode of BLineReader, on libedit's readline-compatible
// callback interface. Built only where the build found libedit.
#ifndef HOST_CONSOLE_BLINEEDITOR_H
#define HOST_CONSOLE_BLINEEDITOR_H

#include <cstdio>
#include <string>
#include <vector>

#include "host/console/BLineReader.h"
#include "host/console/BSignalPipe.h"
#include "host/console/ScreenPosition.h"

// libedit keeps its state in statics: one editor at a time in a process.
// Standard input and output must be terminals. The prompt starts hidden.
// Without the signal pipe (no descriptor left), Ctrl-C keeps its default.
class BLineEditor {
public:
    // False while another editor is open.
    static bool CanOpen();

    BLineEditor(const char* szPrompt, const std::string& historyPath,
                BLineReader::TCompleter completer);
    ~BLineEditor();
    BLineEditor(const BLineEditor&) = delete;
    BLineEditor& operator=(const BLineEditor&) = delete;

    // Contracts as BLineReader's in editing mode.
    int Fd() const;
    bool Read(std::vector<std::string>& lines);
    void Show();
    void Hide();
    void PrintAbove(const std::string& text);
    int InterruptFd() const;
    bool TakeInterrupt();

private:
    static int ReadKey(FILE* pStream);
    static void OnLine(char* szLine);
    static char** OnComplete(const char* szWord, int start, int end);
    static char* NextCandidate(const char* szWord, int state);

    void Interrupt();
    TScreenPos CursorPosition(int columns) const;
    void EraseShownLine();
    void MoveToEndOfLine();
    void Start(const std::string& line);
    void TakeLineState();
    void Remember(const std::string& line);
    void Warn(const std::string& what, int error);

    static BLineEditor* s_pOpen;

    std::string m_prompt;
    std::string m_historyPath; // empty: no history kept
    BLineReader::TCompleter m_completer;
    BSignalPipe m_signals;
    int m_pollFd = -1;
    bool m_shown = false;
    bool m_ended = false;
    bool m_lineDone = false;
    bool m_resized = false;
    int m_lastKey = 0;  // the last key libedit read from the terminal   // while hidden: the next
                        // Show() asks the size
    std::string m_line; // the completed line, when m_lineDone
    std::string m_hiddenLine; // what Hide took from the screen
    // The line on the screen and the cursor's offset in it, as libedit
    // last reported them (its rl_line_buffer is stale after it starts or
    // is given a line, until the next key).
    std::string m_shownLine;
    std::string::size_type m_shownPoint = 0;
    std::string m_lastEntry; // the newest history entry
    std::vector<std::string> m_candidates;
};

#endif
