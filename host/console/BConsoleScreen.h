// What a console to the daemon shows: what the daemon sends, on standard
// output, and the console's own remarks, on standard error.
#ifndef HOST_CONSOLE_BCONSOLESCREEN_H
#define HOST_CONSOLE_BCONSOLESCREEN_H

#include <string>

#include "host/console/IConsoleOutput.h"
#include "host/protocol/ControlProtocol.h"
#include "host/protocol/VisibleText.h"

// On a terminal, what the daemon sends is shown made visible (see
// host/protocol/VisibleText.h); otherwise answers and events pass byte for
// byte. Remarks, farewells and the greeting are made visible on a
// terminal too.
//
// In JSON mode the answers are the lines' objects (kJsonLine), all on
// standard output whatever the outcome, and events are not shown apart:
// each object holds its line's.
class BConsoleScreen {
public:
    explicit BConsoleScreen(IConsoleOutput& output) : m_output(output) {}

    void SetJson(bool json) { m_json = json; }
    bool Json() const { return m_json; }
    // Whether a line that failed is named after its answer, on standard
    // error ("murox: line 2 failed: LINE"): for lines given or piped in,
    // not typed. Never in JSON mode, whose objects name their lines.
    void NameFailedLines(bool name) { m_nameFailed = name; }
    // The line whose answer comes next.
    void LineSent(const std::string& line)
    {
        ++m_lines;
        m_line = line;
    }

    // Writes the console's own `text` to standard output at once.
    void Print(const std::string& text);
    // A remark of the console, or the daemon's farewell, on standard error,
    // after what standard output holds.
    void Remark(const std::string& text);
    // "murox: ERROR" as a remark; 1, the status of a console that lost its
    // daemon.
    int Lost(const std::string& error);
    // The operator's welcome: the socket, and the daemon's pid and version
    // from `greeting` (the greeting's words after the protocol's name).
    void Greet(const std::string& path, const std::string& greeting);

    // An event's text as the line that shows it.
    std::string EventLine(const std::string& text) const;
    // Shows an event that says why the console's line fails, on standard
    // error, made visible when that is a terminal.
    void FailureEvent(const std::string& text);
    // Shows a piece of an answer: a failed line's on standard error.
    void Answer(const control::TFrame& piece);
    // The rest of the answer under way will not be shown.
    void CutAnswer() { m_answer = control::BVisibleText(); }
    // Shows an event, a failure event, a piece of an answer or a farewell;
    // passes over the rest. False for a farewell, after saying it.
    bool Show(const control::TFrame& frame);
    // The exit status of a console that ran its lines to the end: 3 when a
    // line failed, 1 (said) when standard output could not be written.
    int Status();

private:
    IConsoleOutput& m_output;
    bool m_json = false;
    bool m_nameFailed = false;
    unsigned long m_lines = 0; // sent
    std::string m_line;        // the last sent
    bool m_failed = false;
    control::BVisibleText m_answer;
};

inline bool IsAnswer(const control::TFrame& frame)
{
    return frame.type == control::kAnswer || frame.type == control::kFailed;
}

#endif
