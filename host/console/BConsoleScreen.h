// What a console to the daemon shows: what the daemon sends, on standard
// output, and the console's own remarks, on standard error.
#ifndef HOST_CONSOLE_BCONSOLESCREEN_H
#define HOST_CONSOLE_BCONSOLESCREEN_H

#include <string>

#include "host/protocol/ControlProtocol.h"
#include "host/protocol/VisibleText.h"

// On a terminal, control characters in what the daemon sends are shown as
// \xHH (see host/protocol/VisibleText.h); otherwise it passes byte for byte.
class BConsoleScreen {
public:
    explicit BConsoleScreen(bool terminal) : m_terminal(terminal) {}

    // Writes `text` to standard output at once.
    static void Print(const std::string& text);
    // A remark of the console, or the daemon's farewell, on standard error,
    // after what standard output holds.
    static void Remark(const std::string& text);
    // "murox: ERROR" as a remark; 1, the status of a console that lost its
    // daemon.
    static int Lost(const std::string& error);

    // An event's text as the line that shows it.
    std::string EventLine(const std::string& text) const;
    // Shows a piece of an answer: a failed line's on standard error.
    void Answer(const control::TFrame& piece);
    // The rest of the answer under way will not be shown.
    void CutAnswer() { m_answer = control::BVisibleText(); }
    // The exit status of a console that ran its lines to the end: 3 when a
    // line failed, 1 (said) when standard output could not be written.
    int Status() const;

private:
    bool m_terminal;
    bool m_failed = false;
    control::BVisibleText m_answer;
};

inline bool IsAnswer(const control::TFrame& frame)
{
    return frame.type == control::kAnswer || frame.type == control::kFailed;
}

#endif
