// Where text drawn from the start of a terminal row leaves the cursor.
#ifndef HOST_CONSOLE_SCREENPOSITION_H
#define HOST_CONSOLE_SCREENPOSITION_H

#include <string>

struct TScreenPos {
    int row;    // rows below the one the text started on
    int column; // 0 is the first column
};

// The position after `text` is drawn the way libedit draws its prompt and
// line on a terminal `columns` wide (at least 1): a printable character
// takes its width in the current locale (a wide one that does not fit
// moves to the next row), a control character two columns (^X), a tab
// runs to the next multiple of eight, and a row that fills up moves the
// cursor to the start of the next. Bytes that do not decode take one
// column each.
TScreenPos ScreenPosition(const std::string& text, int columns);

#endif
