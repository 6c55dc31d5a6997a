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

    // Replaces the document with the parsed text, in time linear in its
    // length. False, with the line number in `error` and nothing changed,
    // for a malformed text.
    bool Parse(const std::string& text, std::string& error);
    std::string Render() const;

    std::size_t SectionCount() const { return m_sections.size(); }
    const std::string& SectionName(std::size_t index) const { return m_sections[index]->name; }
    const std::string* Value(const std::string& section, const std::string& key) const;
    // The caller has checked that the format can hold the names and value.
    void SetValue(const std::string& section, const std::string& key, const std::string& value);
    bool RemoveSection(const std::string& section);

private:
    struct TKey {
        std::string value;
        std::size_t line; // in the section's lines
    };
    struct TSection {
        std::string name;
        std::size_t index; // in m_sections
        std::vector<std::string> lines;
        std::size_t keysEnd; // the line after the last key (after the header: no key)
        std::unordered_map<std::string, TKey> keys;
    };
    // Where parsing stands: the lines the next one joins, the section they
    // belong to (none before the first), and where the run of comment lines
    // directly above the next line begins (npos for none).
    struct TParseState {
        std::vector<std::string>* pLines;
        TSection* pSection;
        std::size_t comments;
    };
    // Each takes one trimmed line, `raw` as it was read; false, with `why`,
    // for a malformed one.
    bool ParseLine(std::string_view line, std::string raw, TParseState& state, std::string& why);
    bool ParseHeader(std::string_view line, std::string raw, TParseState& state, std::string& why);
    bool ParseKey(std::string_view line, std::string raw, TParseState& state, std::string& why);
    TSection& Append(const std::string& name, std::vector<std::string> lines);
    bool EndsOpen() const;

    std::vector<std::string> m_preamble;
    std::vector<std::unique_ptr<TSection>> m_sections;
    std::unordered_map<std::string, TSection*> m_byName;
};

} // namespace KAF

#endif
