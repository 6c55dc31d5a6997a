// The prompt and the line the editor shows, with the cursor's place in
// the line, and the cursor movements that find them on the terminal.
// Built only where the build found libedit.
#ifndef HOST_CONSOLE_BSHOWNLINE_H
#define HOST_CONSOLE_BSHOWNLINE_H

#include <string>

#include "host/console/ScreenPosition.h"

// The line as libedit last reported it: its rl_line_buffer is stale after
// it starts or is given a line, until the next key. Movements are written
// to standard output, unflushed.
class BShownLine {
public:
    explicit BShownLine(const char* szPrompt) : m_prompt(szPrompt) {}

    const std::string& Prompt() const { return m_prompt; }
    const std::string& Line() const { return m_line; }

    // A new line, the cursor at its end.
    void Set(const std::string& line);
    // The line and cursor libedit holds now.
    void Take();

    // From the end of the prompt to its first row, first column.
    void ToPromptStart() const;
    // From the cursor to the end of the line.
    void ToLineEnd() const;
    // From the cursor to the prompt's first row, first column, everything
    // below cleared.
    void Erase() const;

private:
    TScreenPos Cursor(int columns) const;

    std::string m_prompt;
    std::string m_line;
    std::string::size_type m_point = 0; // the cursor's offset in m_line
};

#endif
