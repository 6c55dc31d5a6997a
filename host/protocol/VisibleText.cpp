#include "host/protocol/VisibleText.h"

#include <algorithm>
#include <iterator>

#include "HiddenCharacters.h"

namespace control {

bool HiddenCharacter(std::uint32_t code)
{
    const TCodeRange* const pEnd = std::end(kHiddenRanges);
    const TCodeRange* const pRange = std::upper_bound(
        std::begin(kHiddenRanges), pEnd, code,
        [](std::uint32_t value, const TCodeRange& range) { return value < range.first; });
    return pRange != std::begin(kHiddenRanges) && code <= (pRange - 1)->last;
}

namespace {

void AppendEscaped(std::string& out, unsigned char byte)
{
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `pBytes`; 0 when none starts there; -1 when the `available` bytes
// are a valid beginning of one but too few to tell.
int SequenceLength(const unsigned char* pBytes, std::size_t available)
{
    const unsigned char lead = pBytes[0];
    int length = 0;
    // The second byte's range: RFC 3629 rules out overlong forms,
    // surrogates and anything above U+10FFFF there.
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) >= available)
            return -1;
        if (pBytes[i] < (i == 1 ? low : 0x80) || pBytes[i] > (i == 1 ? high : 0xbf))
            return 0;
    }
    return length;
}

// Whether the valid sequence of `length` bytes at `pBytes` is a character
// that a terminal or a log viewer does not show as itself.
bool Hidden(const unsigned char* pBytes, int length)
{
    std::uint32_t code = pBytes[0] & (0x7fu >> length);
    for (int i = 1; i < length; ++i)
        code = code << 6 | (pBytes[i] & 0x3fu);
    return HiddenCharacter(code);
}

// Appends the `size` bytes at `pText` made visible. With `more` to come,
// returns how many bytes at their end were left because they may begin a
// sequence that the next piece completes; 0 otherwise.
std::size_t AppendVisible(std::string& out, const char* pText, std::size_t size, bool more,
                          bool oneLine = false)
{
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pText);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char byte = pBytes[i];
        if (byte < 0x80) {
            if ((byte < 0x20 && (byte != '\n' || oneLine) && byte != '\t') || byte == 0x7f)
                AppendEscaped(out, byte);
            else
                out += static_cast<char>(byte);
            ++i;
            continue;
        }
        const int length = SequenceLength(pBytes + i, size - i);
        if (length < 0 && more)
            return size - i;
        if (length <= 0) {
            AppendEscaped(out, byte);
            ++i;
            continue;
        }
        const bool hidden = Hidden(pBytes + i, length);
        for (int k = 0; k < length; ++k) {
            if (hidden)
                AppendEscaped(out, pBytes[i + k]);
            else
                out += static_cast<char>(pBytes[i + k]);
        }
        i += static_cast<std::size_t>(length);
    }
    return 0;
}

} // namespace

std::string VisibleText(const char* pData, std::size_t length)
{
    std::string out;
    out.reserve(length);
    AppendVisible(out, pData, length, false);
    return out;
}

std::string VisibleLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    AppendVisible(out, text.data(), text.size(), false, true);
    return out;
}

std::string BVisibleText::Add(const char* pData, std::size_t length)
{
    std::string text;
    text.swap(m_held);
    text.append(pData, length);
    std::string out;
    out.reserve(text.size());
    const std::size_t held = AppendVisible(out, text.data(), text.size(), true);
    m_held.assign(text, text.size() - held, held);
    return out;
}

std::string BVisibleText::End()
{
    std::string out;
    AppendVisible(out, m_held.data(), m_held.size(), false);
    m_held.clear();
    return out;
}

} // namespace control
