#include "host/console/BShownLine.h"

#include <cstdio>

#include <editline/readline.h>

namespace {

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

int ScreenColumns()
{
    int rows = 0;
    int columns = 0;
    rl_get_screen_size(&rows, &columns);
    return columns;
}

} // namespace

void BShownLine::Set(const std::string& line)
{
    m_line = line;
    m_point = line.size();
}

void BShownLine::Take()
{
    m_line.assign(rl_line_buffer, static_cast<std::string::size_type>(rl_end));
    m_point = static_cast<std::string::size_type>(rl_point);
}

TScreenPos BShownLine::Cursor(int columns) const
{
    return ScreenPosition(m_prompt + m_line.substr(0, m_point), columns);
}

void BShownLine::ToPromptStart() const
{
    WriteOut("\r" + CursorMove(ScreenPosition(m_prompt, ScreenColumns()).row, 'A'));
}

void BShownLine::ToLineEnd() const
{
    const int columns = ScreenColumns();
    const TScreenPos cursor = Cursor(columns);
    const TScreenPos end = ScreenPosition(m_prompt + m_line, columns);
    WriteOut("\r" + CursorMove(end.row - cursor.row, 'B') + CursorMove(end.column, 'C'));
}

void BShownLine::Erase() const
{
    const TScreenPos cursor = Cursor(ScreenColumns());
    WriteOut("\r" + CursorMove(cursor.row, 'A') + "\x1b[J");
}
