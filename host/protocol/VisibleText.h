// Text that a peer sent, made safe to show on a terminal or to quote in a
// log: what would be a command to the terminal is shown as text instead.
//
// Escaped, each byte as \xHH (two lowercase hex digits):
// - the C0 control characters (below 0x20) except '\n' and '\t', and DEL
//   (0x7f): ESC, CR, BS, BEL and the like move the cursor, clear the
//   screen, retitle the window or ring;
// - every character that Unicode's data says is not shown as itself, every
//   byte of its UTF-8 form: the controls (general category Cc, the C1
//   controls U+0080..U+009F among them: some terminals act on them as on
//   ESC sequences), the format characters (Cf: the direction marks,
//   embeddings, overrides and isolates that reorder the text around them,
//   the zero-width characters, the soft hyphen, the tag characters), the
//   line and paragraph separators (Zl, Zp), the default-ignorable code
//   points (what a renderer shows as nothing: the variation selectors, the
//   Hangul fillers); the table is generated at build time from Debian's
//   unicode-data (host/protocol/HiddenCharacters.cmake);
// - every byte that is not part of a valid UTF-8 sequence (a stray
//   continuation byte, an overlong form, a surrogate, a sequence cut
//   short): a terminal in a single-byte character set takes 0x80..0x9f for
//   C1 controls.
// Everything else, valid UTF-8 included, is kept as it is. A backslash is
// not escaped: the result is for reading, not for decoding back.
#ifndef HOST_PROTOCOL_VISIBLETEXT_H
#define HOST_PROTOCOL_VISIBLETEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace control {

// Whether the character `code` is one of those escaped above ('\n' and
// '\t' are, but VisibleText keeps them).
bool HiddenCharacter(std::uint32_t code);

// `text` as a whole, made visible.
std::string VisibleText(const char* pData, std::size_t length);
inline std::string VisibleText(const std::string& text)
{
    return VisibleText(text.data(), text.size());
}

// The same for one record of a log: a line break is escaped too, so that
// a record cannot pass for two.
std::string VisibleLine(const std::string& text);

// The same for a text that arrives in pieces: a UTF-8 sequence cut
// between two pieces is kept (at most three bytes) until the next one
// tells whether it is whole.
class BVisibleText {
public:
    // The next piece, made visible as far as it can be decided.
    std::string Add(const char* pData, std::size_t length);
    // The end of the text: a sequence still cut short, escaped.
    std::string End();

private:
    std::string m_held;
};

} // namespace control

#endif
