#include "host/server/LineAudit.h"

#include "host/protocol/CommandGrammar.h"
#include "host/protocol/VisibleText.h"

namespace {

// Where to end a piece of `text` that starts at `start` and may run to
// `end`: not inside a UTF-8 sequence, nor inside a "\xHH" escape.
std::size_t PieceEnd(const std::string& text, std::size_t start, std::size_t end)
{
    if (end >= text.size())
        return text.size();
    std::size_t cut = end;
    while (cut > start + 1 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    // An escape is four bytes: a backslash in the three before the cut may
    // begin one that the cut would split.
    for (std::size_t back = 1; back <= 3 && cut - back > start; ++back)
        if (text[cut - back] == '\\') {
            cut -= back;
            break;
        }
    return cut;
}

} // namespace

std::vector<std::string> LineAuditRecords(const std::string& who, const std::string& line)
{
    std::string words;
    for (const std::string& word : command::SplitWords(line)) {
        if (!words.empty())
            words += ' ';
        words += word;
    }
    std::string shown = control::VisibleLine(words);
    if (words != line)
        shown += " (blanks collapsed)";
    const std::string head = "line from " + who;
    if (head.size() + 2 + shown.size() <= kMaxAuditRecord)
        return {head + ": " + shown};
    // Room for ", part 9999 of 9999: ": a line is at most a few KiB.
    const std::size_t room = kMaxAuditRecord - head.size() - 24;
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < shown.size();) {
        const std::size_t end = PieceEnd(shown, start, start + room);
        pieces.push_back(shown.substr(start, end - start));
        start = end;
    }
    std::vector<std::string> records;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        records.push_back(head + ", part " + std::to_string(i + 1) + " of " +
                          std::to_string(pieces.size()) + ": " + pieces[i]);
    return records;
}
