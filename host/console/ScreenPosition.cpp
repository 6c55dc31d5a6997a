#include "host/console/ScreenPosition.h"

#include <cwchar>

namespace {

const int kTabStop = 8;

void Advance(TScreenPos& pos, int width, int columns)
{
    if (width > 1 && pos.column + width > columns) {
        ++pos.row;
        pos.column = 0;
    }
    pos.column += width;
    while (pos.column >= columns) {
        ++pos.row;
        pos.column -= columns;
    }
}

} // namespace

TScreenPos ScreenPosition(const std::string& text, int columns)
{
    TScreenPos pos{0, 0};
    if (columns < 1)
        columns = 1;
    std::mbstate_t state{};
    std::string::size_type i = 0;
    while (i < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte == '\t') {
            // Blanks one by one, as a row may end before the tab stop.
            do
                Advance(pos, 1, columns);
            while (pos.column % kTabStop != 0);
            ++i;
            continue;
        }
        if (byte < 0x20 || byte == 0x7f) {
            // ^X, its two halves drawn one by one.
            Advance(pos, 1, columns);
            Advance(pos, 1, columns);
            ++i;
            continue;
        }
        wchar_t wide = 0;
        const std::size_t used = std::mbrtowc(&wide, text.data() + i, text.size() - i, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) ||
            used == 0) {
            state = std::mbstate_t{};
            Advance(pos, 1, columns);
            ++i;
            continue;
        }
        const int width = wcwidth(wide);
        Advance(pos, width < 0 ? 1 : width, columns);
        i += used;
    }
    return pos;
}
