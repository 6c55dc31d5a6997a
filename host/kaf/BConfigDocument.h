// The text of a configuration file as the store keeps it: every line as it
// was read, grouped by section, with the sections and keys indexed by name.
#ifndef HOST_KAF_BCONFIGDOCUMENT_H
#define HOST_KAF_BCONFIGDOCUMENT_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace KAF {

// A section owns the lines from the comments directly above its header (no
// blank line between) up to the next section's; the lines before the first
// section belong to none. Changing a value rewrites only that key's line, a
// new key follows the section's last key, a new section is appended, and a
// removed section takes all its lines with it: every other line is written
// back as it was read.
class BConfigDocument {
public:
    BConfigDocument() = default;
    BConfigDocument(BConfigDocument&&) = default;
    BConfigDocument& operator=(BConfigDocument&&) = default;
    BConfigDocument(const BConfigDocument&) = delete;
    BConfigDocument& operator=(const BConfigDocument&) = delete;

    // A malformed line of a text: its number (from 1) and why.
    struct TLineProblem {
        std::size_t line;
        std::string why;
    };
    // A key of a section and the line that gave it (0: set since).
    struct TKeyLine {
        std::string key;
        std::size_t line;
    };

    // Replaces the document with the parsed text, in time linear in its
    // length. False, with the line number in `error` and nothing changed,
    // for a malformed text.
    bool Parse(const std::string& text, std::string& error);
    // Replaces the document with what the text's well-formed lines say, and
    // appends each malformed line's problem to `problems`, in text order:
    // what reading the whole file finds, where Parse stops at the first.
    // A malformed line says nothing (a repeated key keeps its first value);
    // the keys under a malformed or repeated header belong to no section,
    // only their form is checked. For reading: Render gives the text back.
    void ParseLeniently(const std::string& text, std::vector<TLineProblem>& problems);
    std::string Render() const;

    // Where the text last parsed gave the section's header, from line 1; 0
    // for a section it did not hold (or added since).
    std::size_t SectionLine(const std::string& section) const;
    // Where the text last parsed gave the section's key; 0 for a key it did
    // not hold (or set since).
    std::size_t KeyLine(const std::string& section, const std::string& key) const;
    // The section's keys in text order, each with its line; empty for no
    // such section.
    std::vector<TKeyLine> KeyLines(const std::string& section) const;

    std::size_t SectionCount() const { return m_sections.size(); }
    const std::string& SectionName(std::size_t index) const { return m_sections[index]->name; }
    const std::string* Value(const std::string& section, const std::string& key) const;
    // The caller has checked that the format can hold the names and value.
    void SetValue(const std::string& section, const std::string& key, const std::string& value);
    bool RemoveSection(const std::string& section);

private:
    struct TKey {
        std::string value;
        std::size_t line;     // in the section's lines
        std::size_t fileLine; // in the text parsed, from 1; 0 when set since
    };
    struct TSection {
        std::string name;
        std::size_t index;    // in m_sections
        std::size_t fileLine; // of the header in the text parsed; 0 when added since
        std::vector<std::string> lines;
        std::size_t keysEnd; // the line after the last key (after the header: no key)
        std::unordered_map<std::string, TKey> keys;
    };
    // Where parsing stands: the lines the next one joins, the section they
    // belong to (none before the first), where the run of comment lines
    // directly above the next line begins (npos for none), the number of
    // the line, and whether the last header was refused.
    struct TParseState {
        std::vector<std::string>* pLines;
        TSection* pSection;
        std::size_t comments;
        std::size_t lineNo;
        bool underRefusedHeader;
    };
    // Parses `text` into this empty document, appending the problems; stops
    // after the first when `firstOnly`.
    void ParseText(const std::string& text, std::vector<TLineProblem>& problems, bool firstOnly);
    // Each takes one trimmed line, `raw` as it was read; false, with `why`,
    // for a malformed one, which joins the lines as it was read.
    bool ParseLine(std::string_view line, std::string& raw, TParseState& state, std::string& why);
    bool ParseHeader(std::string_view line, std::string& raw, TParseState& state, std::string& why);
    bool ParseKey(std::string_view line, std::string& raw, TParseState& state, std::string& why);
    TSection& Append(const std::string& name, std::vector<std::string> lines);
    bool EndsOpen() const;

    std::vector<std::string> m_preamble;
    std::vector<std::unique_ptr<TSection>> m_sections;
    std::unordered_map<std::string, TSection*> m_byName;
};

} // namespace KAF

#endif
