#include "host/kaf/BConfigDocument.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace KAF {

namespace {

const std::size_t kNone = std::string::npos;

std::string_view Trim(std::string_view text)
{
    const char* const blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return std::string_view();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IsBlank(const std::string& line)
{
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

} // namespace

bool BConfigDocument::Parse(const std::string& text, std::string& error)
{
    BConfigDocument parsed;
    std::vector<TLineProblem> problems;
    parsed.ParseText(text, problems, true);
    if (!problems.empty()) {
        error = "line " + std::to_string(problems.front().line) + ": " + problems.front().why;
        return false;
    }
    *this = std::move(parsed);
    return true;
}

void BConfigDocument::ParseLeniently(const std::string& text, std::vector<TLineProblem>& problems)
{
    BConfigDocument parsed;
    parsed.ParseText(text, problems, false);
    *this = std::move(parsed);
}

void BConfigDocument::ParseText(const std::string& text, std::vector<TLineProblem>& problems,
                                bool firstOnly)
{
    TParseState state{&m_preamble, nullptr, kNone, 0, false};
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        // The trimmed line is read from the text itself, which outlives it.
        const std::string_view line = Trim(std::string_view(text).substr(begin, end - begin));
        std::string raw(text, begin, end - begin);
        begin = end + 1;
        ++state.lineNo;
        std::string why;
        if (ParseLine(line, raw, state, why))
            continue;
        problems.push_back(TLineProblem{state.lineNo, std::move(why)});
        if (firstOnly)
            return;
        state.pLines->push_back(std::move(raw));
        state.comments = kNone;
    }
}

bool BConfigDocument::ParseLine(std::string_view line, std::string& raw, TParseState& state,
                                std::string& why)
{
    if (line.empty() || line[0] == '#' || line[0] == ';') {
        if (line.empty())
            state.comments = kNone;
        else if (state.comments == kNone)
            state.comments = state.pLines->size();
        state.pLines->push_back(std::move(raw));
        return true;
    }
    if (line[0] == '[')
        return ParseHeader(line, raw, state, why);
    state.comments = kNone;
    return ParseKey(line, raw, state, why);
}

bool BConfigDocument::ParseHeader(std::string_view line, std::string& raw, TParseState& state,
                                  std::string& why)
{
    // Until a header is taken, what follows belongs to none.
    state.underRefusedHeader = true;
    if (line.back() != ']') {
        why = "section header without ']'";
        return false;
    }
    const std::string name(Trim(line.substr(1, line.size() - 2)));
    if (name.empty() || name.find_first_of("[]") != std::string::npos) {
        why = "bad section name";
        return false;
    }
    if (m_byName.count(name) != 0) {
        why = "section [" + name + "] repeated";
        return false;
    }
    // The comments directly above a header describe its section.
    std::vector<std::string>& above = *state.pLines;
    std::vector<std::string> lines;
    if (state.comments != kNone) {
        const auto first = above.begin() + static_cast<std::ptrdiff_t>(state.comments);
        lines.assign(std::make_move_iterator(first), std::make_move_iterator(above.end()));
        above.erase(first, above.end());
    }
    lines.push_back(std::move(raw));
    state.pSection = &Append(name, std::move(lines));
    state.pSection->fileLine = state.lineNo;
    state.pLines = &state.pSection->lines;
    state.comments = kNone;
    state.underRefusedHeader = false;
    return true;
}

bool BConfigDocument::ParseKey(std::string_view line, std::string& raw, TParseState& state,
                               std::string& why)
{
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        why = "expected [section] or key = value";
        return false;
    }
    if (state.pSection == nullptr && !state.underRefusedHeader) {
        why = "key outside any section";
        return false;
    }
    const std::string key(Trim(line.substr(0, eq)));
    if (key.empty()) {
        why = "empty key";
        return false;
    }
    if (state.underRefusedHeader) {
        state.pLines->push_back(std::move(raw));
        return true;
    }
    const TKey value{std::string(Trim(line.substr(eq + 1))), state.pLines->size(), state.lineNo};
    if (!state.pSection->keys.emplace(key, value).second) {
        why = "key '" + key + "' repeated";
        return false;
    }
    state.pLines->push_back(std::move(raw));
    state.pSection->keysEnd = state.pLines->size();
    return true;
}

std::string BConfigDocument::Render() const
{
    std::string text;
    const auto add = [&text](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            text += line;
            text += '\n';
        }
    };
    add(m_preamble);
    for (const auto& pSection : m_sections)
        add(pSection->lines);
    return text;
}

const std::string* BConfigDocument::Value(const std::string& section, const std::string& key) const
{
    const auto found = m_byName.find(section);
    if (found == m_byName.end())
        return nullptr;
    const auto entry = found->second->keys.find(key);
    return entry != found->second->keys.end() ? &entry->second.value : nullptr;
}

void BConfigDocument::SetValue(const std::string& section, const std::string& key,
                               const std::string& value)
{
    const std::string line = key + " = " + value;
    auto found = m_byName.find(section);
    TSection* pSection = nullptr;
    if (found != m_byName.end()) {
        pSection = found->second;
        const auto entry = pSection->keys.find(key);
        if (entry != pSection->keys.end()) {
            entry->second.value = value;
            pSection->lines[entry->second.line] = line;
            return;
        }
    } else {
        // A blank line sets a new section apart from the text before it.
        std::vector<std::string> lines;
        if (EndsOpen())
            lines.emplace_back();
        lines.push_back('[' + section + ']');
        pSection = &Append(section, std::move(lines));
    }
    // Only comments and blank lines follow the last key: no key line moves.
    pSection->lines.insert(pSection->lines.begin() + static_cast<std::ptrdiff_t>(pSection->keysEnd),
                           line);
    pSection->keys.emplace(key, TKey{value, pSection->keysEnd, 0});
    ++pSection->keysEnd;
}

std::size_t BConfigDocument::SectionLine(const std::string& section) const
{
    const auto found = m_byName.find(section);
    return found != m_byName.end() ? found->second->fileLine : 0;
}

std::size_t BConfigDocument::KeyLine(const std::string& section, const std::string& key) const
{
    const auto found = m_byName.find(section);
    if (found == m_byName.end())
        return 0;
    const auto entry = found->second->keys.find(key);
    return entry != found->second->keys.end() ? entry->second.fileLine : 0;
}

std::vector<BConfigDocument::TKeyLine> BConfigDocument::KeyLines(const std::string& section) const
{
    std::vector<TKeyLine> keys;
    const auto found = m_byName.find(section);
    if (found == m_byName.end())
        return keys;
    // Ordered by where they stand in the section's lines: text order.
    std::vector<std::pair<std::size_t, const std::string*>> order;
    order.reserve(found->second->keys.size());
    for (const auto& entry : found->second->keys)
        order.emplace_back(entry.second.line, &entry.first);
    std::sort(order.begin(), order.end());
    keys.reserve(order.size());
    for (const auto& at : order)
        keys.push_back(TKeyLine{*at.second, found->second->keys.at(*at.second).fileLine});
    return keys;
}

bool BConfigDocument::RemoveSection(const std::string& section)
{
    const auto found = m_byName.find(section);
    if (found == m_byName.end())
        return false;
    const std::size_t index = found->second->index;
    m_byName.erase(found);
    m_sections.erase(m_sections.begin() + static_cast<std::ptrdiff_t>(index));
    for (std::size_t i = index; i < m_sections.size(); ++i)
        m_sections[i]->index = i;
    return true;
}

BConfigDocument::TSection& BConfigDocument::Append(const std::string& name,
                                                   std::vector<std::string> lines)
{
    std::unique_ptr<TSection> pSection(new TSection);
    pSection->name = name;
    pSection->index = m_sections.size();
    pSection->fileLine = 0;
    pSection->lines = std::move(lines);
    pSection->keysEnd = pSection->lines.size();
    m_sections.push_back(std::move(pSection));
    m_byName.emplace(name, m_sections.back().get());
    return *m_sections.back();
}

bool BConfigDocument::EndsOpen() const
{
    if (!m_sections.empty()) // a section has at least its header
        return !IsBlank(m_sections.back()->lines.back());
    return !m_preamble.empty() && !IsBlank(m_preamble.back());
}

} // namespace KAF
