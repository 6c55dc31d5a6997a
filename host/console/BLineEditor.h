// The editing mode of BLineReader, on libedit's readline-compatible
// callback interface. Built only where the build found libedit.
#ifndef HOST_CONSOLE_BLINEEDITOR_H
#define HOST_CONSOLE_BLINEEDITOR_H

#include <cstdio>
#include <string>
#include <vector>

#include "host/console/BEditorHistory.h"
#include "host/console/BLineReader.h"
#include "host/console/BShownLine.h"
#include "host/console/BSignalPipe.h"
#include "host/console/ILineInput.h"

// libedit keeps its state in statics: one editor at a time in a process.
// Standard input and output must be terminals. The prompt starts hidden.
// Without the signal pipe (no descriptor left), Ctrl-C keeps its default.
class BLineEditor : public ILineInput {
public:
    // False while another editor is open.
    static bool CanOpen();

    BLineEditor(const char* szPrompt, const std::string& historyPath,
                BLineReader::TCompleter completer);
    ~BLineEditor() override;
    BLineEditor(const BLineEditor&) = delete;
    BLineEditor& operator=(const BLineEditor&) = delete;

    bool Editing() const override { return true; }
    int Fd() const override;
    bool Read(std::vector<std::string>& lines) override;
    void ShowPrompt() override;
    void HidePrompt() override;
    // Ctrl-C is always caught.
    void CatchInterrupts() override {}
    int InterruptFd() const override;
    bool TakeInterrupt() override;
    void PrintAbove(const std::string& text) override;

private:
    static int ReadKey(FILE* pStream);
    static void OnLine(char* szLine);
    static char** OnComplete(const char* szWord, int start, int end);
    static char* NextCandidate(const char* szWord, int state);

    void TakeSignals();
    void ReadKeys(short inputEvents);
    void Interrupt();
    void Start(const std::string& line);

    static BLineEditor* s_pOpen;

    BShownLine m_onScreen;
    BEditorHistory m_history;
    BLineReader::TCompleter m_completer;
    BSignalPipe m_signals;
    int m_pollFd = -1;
    bool m_promptShown = false;
    bool m_ended = false;
    bool m_lineDone = false;
    bool m_resized = false;   // while hidden: the next ShowPrompt() asks the size
    int m_lastKey = 0;        // the last key libedit read from the terminal
    std::string m_line;       // the completed line, when m_lineDone
    std::string m_hiddenLine; // what HidePrompt took from the screen
    std::vector<std::string> m_candidates;
};

#endif
